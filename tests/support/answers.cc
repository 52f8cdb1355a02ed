#include "support/answers.h"

#include "support/base64.h"

namespace answers {

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }
std::string quoted(uint64_t n) { return quoted(std::to_string(n)); }
std::string boolean(bool b) { return b ? "true" : "false"; }

}  // namespace

std::string signup(const std::string& name, long id) {
  return "acc_id: " + std::to_string(id) + "\n{\n \"username\": " + quoted(base64(name)) +
         ",\n \"acc_id\": " + quoted(std::to_string(id)) + "\n}\n\n";
}

std::string my_info(const std::string& id, const std::string& name, long krw) {
  return "idx: " + id + "\nUsername: " + name + "\nAmount: " + std::to_string(krw) + "\n";
}

std::string coin_statement(const std::string& symbol, bool buy, uint64_t amount,
                           const std::string& acc) {
  return "UPDATE kv_uservault SET " + symbol + "_amount=" + symbol + "_amount" + (buy ? "+" : "-") +
         std::to_string(amount) + " WHERE acc_id=" + acc + "\n";
}

std::string krw_statement(bool buy, uint64_t amount, const std::string& acc) {
  return std::string("UPDATE kv_uservault SET KRW_amount=KRW_amount") + (buy ? "-" : "+") +
         std::to_string(amount) + " WHERE acc_id=" + acc + "\n";
}

std::string trade(const std::string& symbol, uint64_t price, uint64_t amount, bool buy) {
  return "{\n \"symbol\": " + quoted(symbol) + ",\n \"coin_cur_price\": " + quoted(price) +
         ",\n \"amount\": " + quoted(amount) + ",\n \"total_price\": " + quoted(price * amount) +
         ",\n \"flag\": " + boolean(buy) + "\n}\n\n";
}

std::string order(const std::string& symbol, uint64_t price, uint64_t stock, uint64_t amount,
                  bool buy, uint64_t krw, const std::string& acc) {
  const std::string market =
      buy ? std::to_string(price) + "\n" + std::to_string(stock) + "\n" : std::string();
  return market + coin_statement(symbol, buy, amount, acc) + krw_statement(buy, krw, acc) +
         trade(symbol, price, amount, buy);
}

std::string address_added(const std::string& symbol, const std::string& address,
                          const std::string& memo) {
  return address + "\n" + memo + "\n{\n \"symbol\": " + quoted(base64(symbol)) +
         ",\n \"address\": " + quoted(base64(address)) + ",\n \"memo\": " + quoted(base64(memo)) +
         "\n}\n\n";
}

std::string address_modified(const std::string& id, const std::string& before,
                             const std::string& after) {
  return id + "\n{\n \"id\": " + id + ",\n \"origin_addr\": " + quoted(base64(before)) +
         ",\n \"new_addr\": " + quoted(base64(after)) + "\n}\n\n";
}

std::string address_entry(const std::string& id, const std::string& symbol,
                          const std::string& address, const std::string& memo,
                          const std::string& time) {
  return "{\n \"id\": " + id + ",\n \"symbol\": " + quoted(symbol) +
         ",\n \"address\": " + quoted(base64(address)) + ",\n \"memo\": " + quoted(base64(memo)) +
         ",\n \"create_at_ts\": " + quoted(time) + "\n}\n\n";
}

std::string history_entry(const std::string& id, const std::string& symbol,
                          const std::string& price, const std::string& amount,
                          const std::string& total, bool buy, const std::string& time) {
  return "{\n \"id\": " + quoted(id) + ",\n \"symbol\": " + quoted(symbol) +
         ",\n \"price\": " + quoted(price) + ",\n \"amount\": " + quoted(amount) +
         ",\n \"total_price\": " + quoted(total) + ",\n \"type\": " + boolean(buy) +
         ",\n \"trade_time\": " + quoted(time) + "\n}\n\n";
}

std::string market_coin(const std::string& symbol, long price, long stock) {
  return "{\n \"symbol\": " + quoted(symbol) + ",\n \"price\": " + quoted(std::to_string(price)) +
         ",\n \"stock\": " + quoted(std::to_string(stock)) + "\n}\n\n";
}

std::string balances(long krw, long btc, long eth, long xrp, long sol) {
  return "{\n \"krw\": " + quoted(std::to_string(krw)) +
         ",\n \"btc\": " + quoted(std::to_string(btc)) +
         ",\n \"eth\": " + quoted(std::to_string(eth)) +
         ",\n \"xrp\": " + quoted(std::to_string(xrp)) +
         ",\n \"sol\": " + quoted(std::to_string(sol)) + "\n}\n\n";
}

std::string known_market() {
  return market_coin("BTC", 1000, 10) + market_coin("ETH", 200, 20) + market_coin("XRP", 100, 50) +
         market_coin("SOL", 300, 0);
}

}  // namespace answers
