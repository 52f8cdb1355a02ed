#include "korvane/outcome.h"

#include <charconv>
#include <sstream>

#include "account/money.h"
#include "korvane/human.h"
#include "server/dispatch.h"

namespace {

constexpr char kNotTraded[] = "not traded";

struct Order {
  bool buy;
  std::string symbol;
  uint64_t amount;
  uint64_t at;
};

std::string symbol_text(int64_t id) {
  static const char* const kSymbols[] = {"BTC", "ETH", "XRP", "SOL"};
  return id >= 0 && id < 4 ? kSymbols[id] : "coin " + std::to_string(id);
}

bool has_line(const std::string& answer, const std::string& line) {
  std::istringstream in(answer);
  for (std::string l; std::getline(in, l);) {
    if (l == line) return true;
  }
  return false;
}

// The price and stock a buy prints first, each on a line of its own.
bool market_lines(const std::string& answer, uint64_t* price, uint64_t* stock) {
  std::istringstream in(answer);
  std::string first, second;
  if (!std::getline(in, first) || !std::getline(in, second)) return false;
  auto number = [](const std::string& text, uint64_t* value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return !text.empty() && ec == std::errc() && ptr == end;
  };
  return number(first, price) && number(second, stock);
}

std::string order_note(const Order& order, const std::string& answer) {
  const std::string side = order.buy ? "buy" : "sell";
  if (has_line(answer, kBotGuardLine)) {
    return std::string(kNotTraded) + ": bot guard: a " + side + " of " + order.symbol + " at " +
           utc_time(order.at) + " was made already; wait a second or give another --at";
  }
  uint64_t price, stock;
  if (!order.buy || !market_lines(answer, &price, &stock)) return kNotTraded;
  const std::string coins = std::to_string(order.amount) + " " + order.symbol;
  if (order.amount > stock) {
    return std::string(kNotTraded) + ": the exchange has " + std::to_string(stock) + " " +
           order.symbol + " in stock, fewer than " + std::to_string(order.amount);
  }
  std::optional<uint64_t> cost = money::buy_cost(price, order.amount);
  if (!cost || *cost > static_cast<uint64_t>(INT64_MAX)) {
    return std::string(kNotTraded) + ": " + coins + " at " + std::to_string(price) +
           " KRW cost more than any balance can hold";
  }
  return std::string(kNotTraded) + ": " + coins + " at " + std::to_string(price) + " KRW cost " +
         std::to_string(*cost) + " KRW with the " + std::to_string(money::kFeePercent) +
         " % fee, more than your KRW balance";
}

}  // namespace

std::optional<std::string> unanswered_note(const korvane::KorvaneInterface& request,
                                           const std::string& answer) {
  switch (request.event_id()) {
    case event::kBuy:
    case event::kSell: {
      if (count_documents(answer, korvane::TradeResponse::default_instance()) > 0) {
        return std::nullopt;
      }
      const bool buy = request.event_id() == event::kBuy;
      Order order{buy,
                  buy ? symbol_text(request.event_buy().symbol())
                      : symbol_text(request.event_sell().symbol()),
                  buy ? request.event_buy().amount() : request.event_sell().amount(),
                  buy ? request.event_buy().timestamp() : request.event_sell().timestamp()};
      return order_note(order, answer);
    }
    case event::kViewBalance:
      if (count_documents(answer, korvane::BalanceResponse::default_instance()) > 0) {
        return std::nullopt;
      }
      return "no balances: sign in first";
    default:
      return std::nullopt;
  }
}
