// Exchange handles one exchange-group event for the signed-in session. Dispatch makes a fresh
// object per event with both working fields 0; nothing carries over between events.
#ifndef KORVANE_EXCHANGE_EXCHANGE_H_
#define KORVANE_EXCHANGE_EXCHANGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "db/result_set.h"
#include "db/transaction.h"
#include "korvane.pb.h"

class Exchange {
 public:
  // Orders. Each runs as one transaction: 0 when executed and committed, -1 when refused or
  // rolled back (then nothing changed).
  int handle_buy(const korvane::Buy& request);
  int handle_sell(const korvane::Sell& request);

  // Reads the bot guard's count of the account's trades of the order's symbol, side and time.
  // Mind the values: 0 means a bot WAS found (the same trade exists; prints
  // "[-] DETECTED Trading Bot" and the order stops), 1 means the order may go on, -1 means the
  // count could not be read.
  int check_trading_bot(ResultSet& count);

  // Ends the order: runs its `writes`, commits `order` with the trade-log entry `trade_id` that its
  // first round trip wrote (0: that write failed), and only then prints the TradeResponse. 0 when
  // committed, -1 when not; `order` rolls back then.
  int commit_order(Transaction& order, std::vector<std::string> writes, uint64_t trade_id,
                   std::string symbol, uint64_t amount, bool buy);

  // Prints the account's trades of one coin and side as HistoryResponse documents. Always 0.
  int handle_view_history(const korvane::History& request);

  // Address book. The add returns 0 when the entry was stored and -1 when refused; the
  // rewrite returns -1 when the account holds more entries than an add admits, else 0.
  int handle_add_addressbook(const korvane::AddressBook& request);
  int handle_modify_addressbook(const korvane::ModifyAddressBook& request);

  // Not offered yet: each answers with a fixed line and changes nothing.
  int handle_deposit(const korvane::Deposit& request);
  int handle_del_addressbook(const korvane::AddressBook& request);

  uint64_t cur_price = 0;  // price of one coin in KRW, as read for this order
  uint64_t cur_qty = 0;    // the exchange's stock of the coin, as read for this order
};

#endif  // KORVANE_EXCHANGE_EXCHANGE_H_
