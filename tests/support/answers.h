// What the server prints for a request that was carried out, byte for byte, built from the
// values a test knows. Every JSON document is protobuf's pretty form followed by a blank line;
// bytes fields are base64.
#ifndef KORVANE_TESTS_SUPPORT_ANSWERS_H_
#define KORVANE_TESTS_SUPPORT_ANSWERS_H_

#include <cstdint>
#include <string>

namespace answers {

// A sign-up: the id line and the SignUpResponse.
std::string signup(const std::string& name, long id);

// The account display.
std::string my_info(const std::string& id, const std::string& name, long krw);

// The echoed statement of an order that moves coins of `symbol`, or KRW, for account `acc`:
// added on a buy, taken on a sell.
std::string coin_statement(const std::string& symbol, bool buy, uint64_t amount,
                           const std::string& acc);
std::string krw_statement(bool buy, uint64_t amount, const std::string& acc);

// A TradeResponse.
std::string trade(const std::string& symbol, uint64_t price, uint64_t amount, bool buy);

// Everything an executed order of `amount` coins at `price` prints for account `acc`: for a buy
// the market lines (price, then `stock` before the order), both echoed statements, and the
// TradeResponse. `krw` is the KRW the KRW statement moves, fee included (paid on a buy, taken
// from the proceeds of a sell): the test's own figure.
std::string order(const std::string& symbol, uint64_t price, uint64_t stock, uint64_t amount,
                  bool buy, uint64_t krw, const std::string& acc);

// An address-book add: the address and memo lines, then the AddressBook echo.
std::string address_added(const std::string& symbol, const std::string& address,
                          const std::string& memo);

// A rewrite of entry `id`: the id line, then the ModifyAddressBook echo.
std::string address_modified(const std::string& id, const std::string& before,
                             const std::string& after);

// One entry of the address list.
std::string address_entry(const std::string& id, const std::string& symbol,
                          const std::string& address, const std::string& memo,
                          const std::string& time);

// One trade of the history view.
std::string history_entry(const std::string& id, const std::string& symbol,
                          const std::string& price, const std::string& amount,
                          const std::string& total, bool buy, const std::string& time);

// One coin of the market view, and the balance view.
std::string market_coin(const std::string& symbol, long price, long stock);
std::string balances(long krw, long btc, long eth, long xrp, long sol);

// The market view of the market TestDb::set_known_market() sets.
std::string known_market();

}  // namespace answers

#endif  // KORVANE_TESTS_SUPPORT_ANSWERS_H_
