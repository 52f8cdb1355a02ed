#include "workload.h"

#include <fmt/format.h>

#include "korvane.pb.h"
#include "server/dispatch.h"

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

std::string bytes_of(const korvane::KorvaneInterface& envelope) {
  std::string bytes;
  envelope.SerializeToString(&bytes);
  return bytes;
}

korvane::KorvaneInterface envelope(int32_t code) {
  korvane::KorvaneInterface e;
  e.set_event_id(code);
  return e;
}

}  // namespace

std::string signin_request(const std::string& name, const std::string& password) {
  auto e = envelope(event::kSignIn);
  e.mutable_event_signin()->set_username(name);
  e.mutable_event_signin()->set_password(password);
  return bytes_of(e);
}

std::string order_request(bool buy, int symbol, uint64_t amount, uint64_t timestamp) {
  if (buy) {
    auto e = envelope(event::kBuy);
    e.mutable_event_buy()->set_symbol(symbol);
    e.mutable_event_buy()->set_amount(amount);
    e.mutable_event_buy()->set_timestamp(timestamp);
    return bytes_of(e);
  }
  auto e = envelope(event::kSell);
  e.mutable_event_sell()->set_symbol(static_cast<korvane::Symbol>(symbol));
  e.mutable_event_sell()->set_amount(amount);
  e.mutable_event_sell()->set_timestamp(timestamp);
  return bytes_of(e);
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
    case kHistory: {
      auto e = envelope(event::kViewHistory);
      e.mutable_event_history()->set_symbol(static_cast<korvane::Symbol>(symbol));
      e.mutable_event_history()->set_type(rng_() % 2);
      step.bytes = bytes_of(e);
      break;
    }
    case kAddAddress: {
      auto e = envelope(event::kAddAddress);
      auto* a = e.mutable_event_addressbook();
      a->set_symbol(static_cast<korvane::Symbol>(symbol));
      a->set_address(fmt::format("bc1q{:016x}", rng_()));
      a->set_memo(fmt::format("{}", 1 + counter_));
      a->set_create_at_ts(timestamp_);
      step.bytes = bytes_of(e);
      step.success_mark = "\"address\"";
      step.adds_entry = true;
      break;
    }
    case kRewriteAddress: {
      // Two in three rewrites change one entry, the rest every entry of the account.
      auto e = envelope(event::kModifyAddress);
      auto* m = e.mutable_event_modify_addressbook();
      m->set_new_addr(fmt::format("bc1q{:016x}", rng_()));
      if (rng_() % 3 != 0) {
        m->set__id(entry_ids[rng_() % entry_ids.size()]);
        step.success_mark = "\"new_addr\"";
      } else {
        m->set__id(-1);
        m->set_origin_addr("any");
        step.success_mark = fmt::format("\n{}\n", entry_ids.front());
      }
      step.bytes = bytes_of(e);
      break;
    }
    case kKinds:
      break;
  }
  return step;
}

}  // namespace bench
