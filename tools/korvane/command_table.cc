// The rows of the command table (command_table.h), in the order help lists them: name, usage,
// summary, positional arguments, how many are required, options with a value, builder, flags.
#include "korvane/command_table.h"

const std::vector<CommandSpec>& commands() {
  // clang-format off
  static const std::vector<CommandSpec> table = {
      {"signup", "signup NAME [PASSWORD]", "open an account with 100000000 KRW",
       {"NAME", "PASSWORD"}, 1, {}, build_signup},
      {"signin", "signin NAME [PASSWORD]", "sign in (each after the first on a new connection)",
       {"NAME", "PASSWORD"}, 1, {}, build_signin},
      {"me", "me", "show the signed-in account", {}, 0, {}, build_me},
      {"signout", "signout", "sign out", {}, 0, {}, build_signout},
      {"balance", "balance", "show your KRW and coin balances", {}, 0, {}, build_balance},
      {"market", "market", "show each coin's price and stock", {}, 0, {}, build_market},
      {"buy", "buy SYMBOL AMOUNT [--at SECONDS]", "buy coins from the exchange's stock",
       {"SYMBOL", "AMOUNT"}, 2, {"--at"}, build_buy},
      {"sell", "sell SYMBOL AMOUNT [--at SECONDS]", "sell coins to the exchange",
       {"SYMBOL", "AMOUNT"}, 2, {"--at"}, build_sell},
      {"history", "history SYMBOL buy|sell", "show your trades of one coin and side",
       {"SYMBOL", "buy|sell"}, 2, {}, build_history},
      {"address add", "address add SYMBOL ADDRESS MEMO [--at SECONDS]",
       "keep a withdrawal address (at most ten)",
       {"SYMBOL", "ADDRESS", "MEMO"}, 3, {"--at"}, build_address_add},
      {"address list", "address list", "show the entries of your address book, with their ids",
       {}, 0, {}, build_address_list},
      {"address set", "address set ID NEW_ADDRESS", "rewrite the address of entry ID",
       {"ID", "NEW_ADDRESS"}, 2, {}, build_address_set},
      // The protocol's "every entry" request also carries an origin address, but the server
      // rewrites every entry of every coin whatever it holds, so the client offers no such filter.
      {"address overwrite-all", "address overwrite-all NEW_ADDRESS [--yes]",
       "overwrite the address of EVERY entry, of every coin",
       {"NEW_ADDRESS"}, 1, {}, build_address_overwrite_all, {"--yes"}},
      {"address delete", "address delete SYMBOL ADDRESS", "delete an address (not offered yet)",
       {"SYMBOL", "ADDRESS"}, 2, {}, build_address_delete},
      {"deposit", "deposit SYMBOL ADDRESS [MEMO]", "deposit coins (not offered yet)",
       {"SYMBOL", "ADDRESS", "MEMO"}, 2, {}, build_deposit},
      {"help", "help [COMMAND]", "list the commands, or the forms of one",
       {"COMMAND"}, 0, {}, nullptr},
      {"quit", "quit", "end the session (also exit, or end of input)", {}, 0, {}, nullptr},
  };
  // clang-format on
  return table;
}
