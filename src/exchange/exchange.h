// Exchange handles one exchange-group event for the signed-in session. Dispatch makes a fresh
// object per event with both working fields 0; nothing carries over between events.
#ifndef KORVANE_EXCHANGE_EXCHANGE_H_
#define KORVANE_EXCHANGE_EXCHANGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/reasons.h"
#include "db/result_set.h"
#include "db/transaction.h"
#include "korvane.pb.h"

class Exchange {
 public:
  // Orders. Each runs as one transaction: done, with the trade's id, when executed and
  // committed; refused, and why, when refused or rolled back (then nothing changed).
  Outcome handle_buy(const korvane::Buy& request);
  Outcome handle_sell(const korvane::Sell& request);

  // Reads the bot guard's count of the account's trades of the order's symbol, side and time.
  // Mind the values: 0 means a bot WAS found (the same trade exists; prints
  // "[-] DETECTED Trading Bot" and the order stops), 1 means the order may go on, -1 means the
  // count could not be read.
  int check_trading_bot(ResultSet& count);

  // Ends the order: runs its `writes` and commits `order` with the trade-log entry `trade_id` that
  // its first round trip wrote (0: that write failed), all in one round trip, leaving the trade's
  // value in `value` and the answers of the writes in `answers` (when given; see
  // MySQLClient::commit). Prints nothing. Done with the trade's id when committed; `order` rolls
  // back when not.
  Outcome commit_order(Transaction& order, const std::vector<std::string>& writes,
                       uint64_t trade_id, uint64_t amount, uint64_t* value,
                       std::vector<ResultSet>* answers);

  // Prints the account's trades of one coin and side as HistoryResponse documents. Done, unless
  // the trades could not be read.
  Outcome handle_view_history(const korvane::History& request);

  // Address book. The add is done, with the entry's id, when the entry was stored. The rewrite
  // is done, with the ids of the entries it rewrote, when it rewrote any.
  Outcome handle_add_addressbook(const korvane::AddressBook& request);
  Outcome handle_modify_addressbook(const korvane::ModifyAddressBook& request);
  // Prints every entry of the account's book as an AddressBookEntry document, in id order; done
  // with their ids.
  Outcome handle_list_addressbook();

  // Not offered yet: each answers with a fixed line and changes nothing.
  Outcome handle_deposit(const korvane::Deposit& request);
  Outcome handle_del_addressbook(const korvane::AddressBook& request);

  uint64_t cur_price = 0;  // price of one coin in KRW, as read for this order
  uint64_t cur_qty = 0;    // the exchange's stock of the coin, as read for this order
};

#endif  // KORVANE_EXCHANGE_EXCHANGE_H_
