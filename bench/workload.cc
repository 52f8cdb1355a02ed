#include "workload.h"

#include <fmt/format.h>

#include "support/envelopes.h"

namespace bench {

const char* const kKindNames[kKinds] = {"buy", "sell", "history", "address add", "address rewrite"};

namespace {

// Shares of the mix in percent. Adds beyond the tenth entry become rewrites.
constexpr int kBuyShare = 35;
constexpr int kSellShare = 25;
constexpr int kHistoryShare = 20;
constexpr int kAddShare = 5;

constexpr uint32_t kMaxEntries = 10;
// Order timestamps start here and grow by one per order; each session has its own account, so
// none repeats for an account, coin and side.
constexpr uint64_t kFirstTimestamp = 1600000000;

}  // namespace

std::string signin_request(const std::string& name, const std::string& password) {
  return envelopes::bytes_of(envelopes::signin(name, password));
}

std::string order_request(bool buy, int symbol, uint64_t amount, uint64_t timestamp) {
  return envelopes::bytes_of(buy ? envelopes::buy(symbol, amount, timestamp)
                                 : envelopes::sell(symbol, amount, timestamp));
}

Mix::Mix(uint32_t seed) : rng_(seed), timestamp_(kFirstTimestamp) {}

Step Mix::next(const std::vector<int32_t>& entry_ids) {
  const int draw = static_cast<int>(rng_() % 100);
  const int symbol = static_cast<int>(rng_() % 4);
  const uint64_t amount = 1 + rng_() % 3;
  ++counter_;
  Kind kind = draw < kBuyShare                                            ? kBuy
              : draw < kBuyShare + kSellShare                             ? kSell
              : draw < kBuyShare + kSellShare + kHistoryShare             ? kHistory
              : draw < kBuyShare + kSellShare + kHistoryShare + kAddShare ? kAddAddress
                                                                          : kRewriteAddress;
  if (kind == kAddAddress && entries_ >= kMaxEntries) kind = kRewriteAddress;
  if (kind == kRewriteAddress && entry_ids.empty()) kind = kAddAddress;

  Step step;
  step.kind = kind;
  const std::string trade_mark = "\"total_price\"";
  switch (kind) {
    case kBuy:
    case kSell:
      step.bytes = order_request(kind == kBuy, symbol, amount, timestamp_++);
      step.success_mark = trade_mark;
      break;
    case kHistory:
      step.bytes = envelopes::bytes_of(envelopes::history(symbol, rng_() % 2));
      break;
    case kAddAddress:
      step.bytes = envelopes::bytes_of(envelopes::add_address(
          symbol, fmt::format("bc1q{:016x}", rng_()), fmt::format("{}", 1 + counter_), timestamp_));
      step.success_mark = "\"address\"";
      step.adds_entry = true;
      break;
    case kRewriteAddress: {
      // Two in three rewrites change one entry, the rest every entry of the account.
      const std::string address = fmt::format("bc1q{:016x}", rng_());
      if (rng_() % 3 != 0) {
        const int32_t id = entry_ids[rng_() % entry_ids.size()];
        step.bytes = envelopes::bytes_of(envelopes::modify_address(id, address));
        step.success_mark = "\"new_addr\"";
      } else {
        step.bytes = envelopes::bytes_of(envelopes::modify_address(-1, address, "any"));
        step.success_mark = fmt::format("\n{}\n", entry_ids.front());
      }
      break;
    }
    case kKinds:
      break;
  }
  return step;
}

}  // namespace bench
