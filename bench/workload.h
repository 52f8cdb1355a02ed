// The benchmark's client: request envelopes and the fixed, seeded mix a session runs.
//
// The mix is what one signed-in client does all day: buys and sells (each with a timestamp of
// its own, so the bot guard never refuses one), history views, address-book adds and rewrites.
// An account may hold ten addresses, so adds stop there and rewrites outnumber them.
#ifndef KORVANE_BENCH_WORKLOAD_H_
#define KORVANE_BENCH_WORKLOAD_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace bench {

// Event types of the mix, in report order.
enum Kind { kBuy, kSell, kHistory, kAddAddress, kRewriteAddress, kKinds };
extern const char* const kKindNames[kKinds];

// Serialized request envelopes.
std::string signin_request(const std::string& name, const std::string& password);
std::string order_request(bool buy, int symbol, uint64_t amount, uint64_t timestamp);

// One request of the mix, and how to tell from its answer that it did its work.
struct Step {
  Kind kind;
  std::string bytes;
  // A text the answer holds when the request was carried out (not refused).
  std::string success_mark;
  // True for an add: the account's entry ids change once it succeeds.
  bool adds_entry = false;
};

// The request stream of one session. Deterministic for a seed, given the entry ids it is told.
class Mix {
 public:
  explicit Mix(uint32_t seed);

  // The next request. `entry_ids` are the account's address-book entry ids as they are now.
  Step next(const std::vector<int32_t>& entry_ids);

  // Records that an add succeeded.
  void entry_added() { ++entries_; }

 private:
  std::mt19937 rng_;
  uint64_t counter_ = 0;
  uint64_t timestamp_;
  uint32_t entries_ = 0;
};

}  // namespace bench

#endif  // KORVANE_BENCH_WORKLOAD_H_
