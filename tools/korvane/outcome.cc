#include "korvane/outcome.h"

#include <charconv>
#include <sstream>
#include <vector>

#include "account/money.h"
#include "korvane/human.h"
#include "server/dispatch.h"

namespace {

constexpr char kNotTraded[] = "not traded";
constexpr char kSignInFirst[] = ": sign in first";

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

std::vector<std::string> lines_of(const std::string& answer) {
  std::vector<std::string> lines;
  std::istringstream in(answer);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

bool has_line(const std::string& answer, const std::string& line) {
  for (const std::string& l : lines_of(answer)) {
    if (l == line) return true;
  }
  return false;
}

bool number(const std::string& text, uint64_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

// The price and stock a buy prints first, each on a line of its own.
bool market_lines(const std::string& answer, uint64_t* price, uint64_t* stock) {
  std::vector<std::string> lines = lines_of(answer);
  return lines.size() >= 2 && number(lines[0], price) && number(lines[1], stock);
}

Note refused(std::string text) { return Note{true, std::move(text)}; }

std::string order_note(const Order& order, const std::string& answer, const SessionFacts& facts) {
  const std::string side = order.buy ? "buy" : "sell";
  if (has_line(answer, kBotGuardLine)) {
    return std::string(kNotTraded) + ": bot guard: a " + side + " of " + order.symbol + " at " +
           utc_time(order.at) + " was made already; wait a second or give another --at";
  }
  if (!order.buy) {
    if (facts.coins_held && *facts.coins_held < order.amount) {
      return std::string(kNotTraded) + ": you hold " + std::to_string(*facts.coins_held) + " " +
             order.symbol + ", fewer than " + std::to_string(order.amount);
    }
    return kNotTraded;
  }
  uint64_t price, stock;
  if (!market_lines(answer, &price, &stock)) return kNotTraded;
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

Order order_of(const korvane::KorvaneInterface& request) {
  const bool buy = request.event_id() == event::kBuy;
  return Order{
      buy,
      buy ? symbol_text(request.event_buy().symbol()) : symbol_text(request.event_sell().symbol()),
      buy ? request.event_buy().amount() : request.event_sell().amount(),
      buy ? request.event_buy().timestamp() : request.event_sell().timestamp()};
}

bool traded(const std::string& answer) {
  return count_documents(answer, korvane::TradeResponse::default_instance()) > 0;
}

// The ids an overwrite of every entry printed after its own "-1".
std::string overwritten_ids(const std::string& answer) {
  std::vector<std::string> lines = lines_of(answer);
  std::string ids;
  for (size_t i = 1; i < lines.size(); ++i) ids += (ids.empty() ? "" : ", ") + lines[i];
  return ids;
}

std::optional<Note> address_note(const korvane::KorvaneInterface& request,
                                 const std::string& answer) {
  const korvane::ModifyAddressBook& m = request.event_modify_addressbook();
  if (m._id() == -1) {
    const std::string ids = overwritten_ids(answer);
    if (ids.empty()) return Note{false, "nothing overwritten: your address book is empty"};
    return Note{false, "overwrote the address of entries " + ids + " with '" + m.new_addr() + "'"};
  }
  if (count_documents(answer, korvane::ModifyAddressBookResponse::default_instance()) > 0) {
    return std::nullopt;
  }
  return refused("entry " + std::to_string(m._id()) + " not rewritten: you have no entry " +
                 std::to_string(m._id()) + ", or it holds that address already");
}

// How a note on a request that was not carried out begins.
const char* head_of(int32_t event_id) {
  struct Head {
    int32_t event_id;
    const char* head;
  };
  static const Head kHeads[] = {
      {event::kBuy, kNotTraded},
      {event::kSell, kNotTraded},
      {event::kViewHistory, "no history"},
      {event::kAddAddress, "not added"},
      {event::kModifyAddress, "not rewritten"},
      {event::kDeleteAddress, "not deleted"},
      {event::kDeposit, "not deposited"},
      {event::kViewBalance, "no balances"},
  };
  for (const Head& h : kHeads) {
    if (h.event_id == event_id) return h.head;
  }
  return "not done";
}

}  // namespace

std::optional<Note> outcome_note(const korvane::KorvaneInterface& request,
                                 const std::string& answer, const SessionFacts& facts) {
  const bool exchange = (request.event_id() >> 24) == event::kExchangeGroup;
  switch (request.event_id()) {
    case event::kSignUp:
      if (count_documents(answer, korvane::SignUpResponse::default_instance()) > 0) {
        return std::nullopt;
      }
      if (has_line(answer, kDuplicateIdLine)) {
        return refused("not signed up: the name '" + request.event_signup().username() +
                       "' is taken");
      }
      return refused("not signed up");
    case event::kSignIn:
      if (signin_succeeded(answer)) return std::nullopt;
      if (has_line(answer, kNoSuchLoginLine)) {
        return refused("not signed in: no account has that name and password");
      }
      if (has_line(answer, kMultiLoginLine)) {
        return refused("not signed in: this connection has had its one sign-in");
      }
      return refused("not signed in");
    case event::kMyInfo:
      if (!answer.empty()) return std::nullopt;
      return refused(std::string("no account shown") + kSignInFirst);
    default:
      break;
  }
  if (exchange && !facts.signed_in && answer.empty()) {
    return refused(std::string(head_of(request.event_id())) + kSignInFirst);
  }
  switch (request.event_id()) {
    case event::kBuy:
    case event::kSell:
      if (traded(answer)) return std::nullopt;
      return refused(order_note(order_of(request), answer, facts));
    case event::kViewBalance:
      if (count_documents(answer, korvane::BalanceResponse::default_instance()) > 0) {
        return std::nullopt;
      }
      return refused(std::string(head_of(event::kViewBalance)) + kSignInFirst);
    case event::kViewHistory: {
      if (count_documents(answer, korvane::HistoryResponse::default_instance()) > 0) {
        return std::nullopt;
      }
      const korvane::History& h = request.event_history();
      return Note{false, "no trades: this account has " +
                             std::string(h.type() == 1 ? "bought" : "sold") + " no " +
                             symbol_text(h.symbol())};
    }
    case event::kAddAddress:
      if (count_documents(answer, korvane::AddressBookResponse::default_instance()) > 0) {
        return std::nullopt;
      }
      // The client checked the address and the memo before sending: what is left is the count.
      return refused("not added: your address book holds ten entries, the most it keeps");
    case event::kModifyAddress:
      return address_note(request, answer);
    case event::kDeleteAddress:
      if (!has_line(answer, kDeleteStubLine)) return std::nullopt;
      return refused("not deleted: the server does not offer deleting addresses yet");
    case event::kDeposit:
      if (!has_line(answer, kDepositStubLine)) return std::nullopt;
      return refused("not deposited: the server does not offer deposits yet");
    default:
      return std::nullopt;
  }
}

bool signin_succeeded(const std::string& answer) { return answer.empty(); }

bool needs_holdings(const korvane::KorvaneInterface& request, const std::string& answer) {
  return request.event_id() == event::kSell && !traded(answer) && !has_line(answer, kBotGuardLine);
}

std::optional<uint64_t> coins_in_balances(const std::string& answer, int symbol) {
  std::optional<uint64_t> coins;
  walk_documents(answer, korvane::BalanceResponse::default_instance(),
                 [&](const google::protobuf::Message& m) {
                   const auto& b = static_cast<const korvane::BalanceResponse&>(m);
                   const uint64_t held[] = {b.btc(), b.eth(), b.xrp(), b.sol()};
                   if (symbol >= 0 && symbol < 4) coins = held[symbol];
                 });
  return coins;
}
