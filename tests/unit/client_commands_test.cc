// The client's command language and options, without a server.
#include <gtest/gtest.h>

#include "korvane/commands.h"
#include "korvane/options.h"
#include "server/dispatch.h"

namespace {

constexpr uint64_t kNow = 1700000000;

Command parse_ok(const std::string& line) {
  ParseResult r = parse_command(line, kNow);
  EXPECT_TRUE(r.ok) << line << ": " << r.error;
  return r.command;
}

TEST(ClientCommands, SymbolsAreCaseInsensitiveNames) {
  EXPECT_EQ(symbol_id("btc"), 0);
  EXPECT_EQ(symbol_id("Eth"), 1);
  EXPECT_EQ(symbol_id("xRP"), 2);
  EXPECT_EQ(symbol_id("SOL"), 3);
  EXPECT_EQ(symbol_id("ELF"), std::nullopt);  // the enumeration's name, not the coin's
  EXPECT_EQ(symbol_id("DOGE"), std::nullopt);
  EXPECT_EQ(symbol_id(""), std::nullopt);
  EXPECT_EQ(parse_ok("SELL sol 3").request.event_sell().symbol(), korvane::ELF);
}

TEST(ClientCommands, OrdersCarryTheCurrentTimeUnlessAtIsGiven) {
  Command buy = parse_ok("buy XRP 5");
  EXPECT_EQ(buy.kind, Command::Kind::kSend);
  EXPECT_EQ(buy.request.event_id(), event::kBuy);
  EXPECT_EQ(buy.request.event_buy().symbol(), 2);
  EXPECT_EQ(buy.request.event_buy().amount(), 5u);
  EXPECT_EQ(buy.request.event_buy().timestamp(), kNow);
  EXPECT_EQ(buy.answer_type, &korvane::TradeResponse::default_instance());

  EXPECT_EQ(parse_ok("buy btc 1 --at 42").request.event_buy().timestamp(), 42u);
  EXPECT_EQ(parse_ok("buy --at=0 btc 1").request.event_buy().timestamp(), 0u);
  // The last second the trade log can hold; an address entry's time has no such bound.
  EXPECT_EQ(parse_ok("buy btc 1 --at 2147483647").request.event_buy().timestamp(), 2147483647u);
  EXPECT_EQ(
      parse_ok("address add btc a 1 --at 2147483648").request.event_addressbook().create_at_ts(),
      2147483648u);
  Command sell = parse_ok("sell eth 18446744073709551615 --at 7");
  EXPECT_EQ(sell.request.event_id(), event::kSell);
  EXPECT_EQ(sell.request.event_sell().amount(), 18446744073709551615u);
  EXPECT_EQ(sell.request.event_sell().timestamp(), 7u);
}

TEST(ClientCommands, EachCommandBuildsItsEnvelope) {
  Command signup = parse_ok("signup alice s3cret");
  EXPECT_EQ(signup.request.event_id(), event::kSignUp);
  EXPECT_EQ(signup.request.event_signup().username(), "alice");
  EXPECT_EQ(signup.request.event_signup().password(), "s3cret");
  EXPECT_FALSE(signup.password_missing);

  Command signin = parse_ok("signin alice");
  EXPECT_EQ(signin.request.event_id(), event::kSignIn);
  EXPECT_TRUE(signin.password_missing);
  EXPECT_TRUE(signin.request.event_signin().has_password());  // sent empty when no one is asked
  set_password(&signin, "typed");
  EXPECT_EQ(signin.request.event_signin().password(), "typed");
  EXPECT_FALSE(signin.password_missing);

  EXPECT_EQ(parse_ok("me").request.event_id(), event::kMyInfo);
  Command market = parse_ok("MARKET");
  EXPECT_EQ(market.request.event_id(), event::kViewMarket);
  EXPECT_EQ(market.answer_type, &korvane::MarketResponse::default_instance());
  Command balance = parse_ok("balance");
  EXPECT_EQ(balance.request.event_id(), event::kViewBalance);
  EXPECT_EQ(balance.answer_type, &korvane::BalanceResponse::default_instance());
  EXPECT_EQ(parse_ok("signout").request.event_id(), event::kSignOut);

  Command history = parse_ok("history sol BUY");
  EXPECT_EQ(history.request.event_history().symbol(), korvane::ELF);
  EXPECT_EQ(history.request.event_history().type(), 1u);
  EXPECT_EQ(parse_ok("history sol sell").request.event_history().type(), 0u);

  Command add = parse_ok("address add xrp rAddr 123");
  EXPECT_EQ(add.request.event_id(), event::kAddAddress);
  EXPECT_EQ(add.request.event_addressbook().address(), "rAddr");
  EXPECT_EQ(add.request.event_addressbook().memo(), "123");
  EXPECT_FALSE(add.request.event_addressbook().has_create_at_ts());  // the server stamps it
  EXPECT_EQ(parse_ok("address add xrp a 1 --at 9").request.event_addressbook().create_at_ts(), 9u);
  EXPECT_EQ(parse_ok("address add xrp a +7").request.event_addressbook().memo(), "+7");  // as 7

  Command list = parse_ok("address list");
  EXPECT_EQ(list.request.event_id(), event::kListAddresses);
  EXPECT_EQ(list.answer_type, &korvane::AddressBookEntry::default_instance());

  Command set = parse_ok("Address SET 7 new");
  EXPECT_EQ(set.request.event_id(), event::kModifyAddress);
  EXPECT_EQ(set.request.event_modify_addressbook()._id(), 7);
  EXPECT_EQ(set.request.event_modify_addressbook().new_addr(), "new");
  EXPECT_FALSE(set.request.event_modify_addressbook().has_origin_addr());

  // Overwriting every entry offers no origin filter, which the server would not apply, and is
  // confirmed first unless --yes says so.
  Command all = parse_ok("address overwrite-all new");
  EXPECT_EQ(all.request.event_modify_addressbook()._id(), -1);
  EXPECT_FALSE(all.request.event_modify_addressbook().has_origin_addr());
  EXPECT_EQ(all.confirm,
            "This overwrites the address of EVERY entry in your address book, of every coin (BTC, "
            "ETH, XRP and SOL alike), with 'new'. It cannot be undone.");
  EXPECT_EQ(parse_ok("address overwrite-all new --yes").confirm, "");

  Command del = parse_ok("address delete btc a");
  EXPECT_EQ(del.request.event_id(), event::kDeleteAddress);
  EXPECT_EQ(del.request.event_addressbook().symbol(), korvane::BTC);

  Command deposit = parse_ok("deposit eth a -5");
  EXPECT_EQ(deposit.request.event_id(), event::kDeposit);
  EXPECT_EQ(deposit.request.event_deposit().memo(), -5);
  EXPECT_FALSE(parse_ok("deposit eth a").request.event_deposit().has_memo());

  // Every request is complete: the server would refuse one with a required field missing.
  for (const char* line :
       {"signup a", "signin a b", "me", "market", "balance", "buy btc 1", "sell btc 1",
        "history btc buy", "address list", "address add btc a 1", "address set 1 a",
        "address overwrite-all a", "address delete btc a", "deposit btc a"}) {
    EXPECT_TRUE(parse_ok(line).request.IsInitialized()) << line;
  }
}

TEST(ClientCommands, LocalCommandsAndBlankLines) {
  EXPECT_EQ(parse_ok("").kind, Command::Kind::kNothing);
  EXPECT_EQ(parse_ok("   \t").kind, Command::Kind::kNothing);
  EXPECT_EQ(parse_ok("  # buy btc 1").kind, Command::Kind::kNothing);
  EXPECT_EQ(parse_ok("quit").kind, Command::Kind::kQuit);
  EXPECT_EQ(parse_ok("EXIT").kind, Command::Kind::kQuit);
  EXPECT_EQ(parse_ok("help").help, help_text());
  EXPECT_EQ(parse_ok("help buy").help,
            "usage: buy SYMBOL AMOUNT [--at SECONDS]\n  buy coins from the exchange's stock\n");
  std::string address_help = parse_ok("help address").help;
  for (const char* form : {"address list\n", "address add ", "address set ",
                           "address overwrite-all ", "address delete "}) {
    EXPECT_NE(address_help.find(std::string("usage: ") + form), std::string::npos) << form;
  }
}

TEST(ClientCommands, QuotesAndBackslashesMakeOneWord) {
  EXPECT_EQ(parse_ok(R"(deposit xrp "a b\"c")").request.event_deposit().address(), "a b\"c");
  EXPECT_EQ(parse_ok(R"(signin bob 'd e\f')").request.event_signin().password(), "d e\\f");
  Command empty = parse_ok(R"(signin bob "")");  // an account made without one signs in so
  EXPECT_EQ(empty.request.event_signin().password(), "");
  EXPECT_FALSE(empty.password_missing);
  EXPECT_EQ(parse_ok(R"(signup bob a\ b)").request.event_signup().password(), "a b");
  // A value that starts with "--" follows a "--".
  EXPECT_EQ(parse_ok("signup bob -- --pw").request.event_signup().password(), "--pw");
}

TEST(ClientCommands, BadCommandsGiveOneLineAndAUsageHint) {
  struct Case {
    const char* line;
    const char* error;
    const char* usage;
  };
  const char* buy_usage = "usage: buy SYMBOL AMOUNT [--at SECONDS]";
  const char* help_hint = "type 'help' for the list of commands";
  const char* address_hint = "type 'help address' for its forms";
  const Case cases[] = {
      {"frobnicate now", "unknown command 'frobnicate'", help_hint},
      {"buy", "missing SYMBOL", buy_usage},
      {"buy btc", "missing AMOUNT", buy_usage},
      {"buy doge 1", "unknown symbol 'doge': use BTC, ETH, XRP or SOL", buy_usage},
      {"buy btc 0", "bad amount '0': expected a whole number of coins above 0", buy_usage},
      {"buy btc -1", "bad amount '-1': expected a whole number of coins above 0", buy_usage},
      {"buy btc 1.5", "bad amount '1.5': expected a whole number of coins above 0", buy_usage},
      {"buy btc 18446744073709551616",
       "amount '18446744073709551616' is out of range: at most 18446744073709551615", buy_usage},
      {"buy xrp 99999999999999999999",
       "amount '99999999999999999999' is out of range: at most 18446744073709551615", buy_usage},
      {"buy btc 1 --at", "option --at needs a value", buy_usage},
      {"buy btc 1 --at soon", "bad time 'soon': expected seconds since 1970-01-01 00:00 UTC",
       buy_usage},
      {"buy btc 1 --at 1 --at 2", "option --at given twice", buy_usage},
      {"buy btc 1 --at 2147483648",
       "time '2147483648' is out of range: orders take 0 to 2147483647 (up to 2038-01-19 "
       "03:14:07 UTC)",
       buy_usage},
      {"buy btc 1 --at -1",
       "time '-1' is out of range: orders take 0 to 2147483647 (up to 2038-01-19 03:14:07 UTC)",
       buy_usage},
      {"sell btc 1 --at 99999999999999999999",
       "time '99999999999999999999' is out of range: orders take 0 to 2147483647 (up to "
       "2038-01-19 03:14:07 UTC)",
       "usage: sell SYMBOL AMOUNT [--at SECONDS]"},
      {"balance now", "unexpected argument 'now'", "usage: balance"},
      {"market btc", "unexpected argument 'btc'", "usage: market"},
      {"buy btc 1 --from x", "unknown option '--from'", buy_usage},
      {"sell btc 1 2", "unexpected argument '2'", "usage: sell SYMBOL AMOUNT [--at SECONDS]"},
      {"history btc both", "bad side 'both': use buy or sell", "usage: history SYMBOL buy|sell"},
      {"signup", "missing NAME", "usage: signup NAME [PASSWORD]"},
      {"signin a b c", "unexpected argument 'c'", "usage: signin NAME [PASSWORD]"},
      {"me now", "unexpected argument 'now'", "usage: me"},
      {"address", "'address' needs one of: list, add, set, overwrite-all, delete", address_hint},
      {"address show",
       "unknown address command 'show': use list, add, set, overwrite-all or delete", address_hint},
      {"address set-all x",
       "unknown address command 'set-all': use list, add, set, overwrite-all or delete",
       address_hint},
      {"address list 3", "unexpected argument '3'", "usage: address list"},
      {"address add btc a", "missing MEMO",
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]"},
      {"address set 0 a", "bad entry id '0': expected a whole number above 0",
       "usage: address set ID NEW_ADDRESS"},
      {"address set 2147483648 a", "entry id '2147483648' is out of range: at most 2147483647",
       "usage: address set ID NEW_ADDRESS"},
      {"address set -1 a", "bad entry id '-1': expected a whole number above 0",
       "usage: address set ID NEW_ADDRESS"},
      {"address set 3 ''", "bad address '': an address needs at least one character",
       "usage: address set ID NEW_ADDRESS"},
      {"address overwrite-all ''", "bad address '': an address needs at least one character",
       "usage: address overwrite-all NEW_ADDRESS [--yes]"},
      {"address add xrp '' 5", "bad address '': an address needs at least one character",
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]"},
      {"address overwrite-all", "missing NEW_ADDRESS",
       "usage: address overwrite-all NEW_ADDRESS [--yes]"},
      {"address overwrite-all new --from old", "unknown option '--from'",
       "usage: address overwrite-all NEW_ADDRESS [--yes]"},
      {"address overwrite-all new --yes=1", "option --yes takes no value",
       "usage: address overwrite-all NEW_ADDRESS [--yes]"},
      {"deposit btc a memo", "bad memo 'memo': expected a whole number",
       "usage: deposit SYMBOL ADDRESS [MEMO]"},
      // The server's rules for names and texts, in words.
      {"signup mary-jane p",
       "bad name 'mary-jane': it holds a hyphen (-); the server refuses blanks and ' \" $ ( ) ; "
       "- # \\ in names, addresses and memos",
       "usage: signup NAME [PASSWORD]"},
      {"signin 'mary jane' p",
       "bad name 'mary jane': it holds a blank; the server refuses blanks and ' \" $ ( ) ; - # \\ "
       "in names, addresses and memos",
       "usage: signin NAME [PASSWORD]"},
      {"signup '' p", "bad name '': a name needs at least one character",
       "usage: signup NAME [PASSWORD]"},
      {"signup bob ''", "bad password '': an account without a password is open to anyone",
       "usage: signup NAME [PASSWORD]"},
      {"signup 123456789012345678901234567890123 p",
       "bad name '123456789012345678901234567890123': it takes 33 bytes; a name takes at most 32",
       "usage: signup NAME [PASSWORD]"},
      {"address add xrp r1 abc", "bad memo 'abc': expected a whole number other than 0",
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]"},
      {"address add xrp r1 0", "bad memo '0': expected a whole number other than 0",
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]"},
      {"address add xrp r1 ''", "bad memo '': expected a whole number other than 0",
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]"},
      {"address add xrp r1 +0", "bad memo '+0': expected a whole number other than 0",
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]"},
      {"address add xrp 'r(1)' 5",
       "bad address 'r(1)': it holds a parenthesis ((); the server refuses blanks and ' \" $ ( ) "
       "; - # \\ in names, addresses and memos",
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]"},
      {"address set 3 a;b",
       "bad address 'a;b': it holds a semicolon (;); the server refuses blanks and ' \" $ ( ) ; "
       "- # \\ in names, addresses and memos",
       "usage: address set ID NEW_ADDRESS"},
      {"signup 'alice", "a ' quote is not closed", help_hint},
      {"signup alice\\", "the line ends in a backslash", help_hint},
      {"help nope", "no command 'nope'", help_hint},
  };
  for (const Case& c : cases) {
    ParseResult r = parse_command(c.line, kNow);
    EXPECT_FALSE(r.ok) << c.line;
    EXPECT_EQ(r.error, c.error) << c.line;
    EXPECT_EQ(r.usage, c.usage) << c.line;
  }
}

TEST(ClientCommands, HelpListsEveryForm) {
  std::string help = help_text();
  for (const char* form :
       {"signup NAME [PASSWORD]", "signin NAME [PASSWORD]", "me", "signout", "balance", "market",
        "buy SYMBOL AMOUNT [--at SECONDS]", "sell SYMBOL AMOUNT [--at SECONDS]",
        "history SYMBOL buy|sell", "address add SYMBOL ADDRESS MEMO [--at SECONDS]", "address list",
        "address set ID NEW_ADDRESS", "address overwrite-all NEW_ADDRESS [--yes]",
        "address delete SYMBOL ADDRESS", "deposit SYMBOL ADDRESS [MEMO]", "help", "quit"}) {
    EXPECT_NE(help.find(std::string("\n  ") + form + " "), std::string::npos) << form;
  }
}

TEST(ClientCommands, HelpExplainsTheBotGuardAndTheRangeOfTimes) {
  std::string help = help_text();
  EXPECT_NE(help.find("The bot guard refuses a second order of the same coin and side at\nthe "
                      "same second"),
            std::string::npos)
      << help;
  EXPECT_NE(help.find("(0 to 2147483647)"), std::string::npos) << help;
  // The filter's characters and the name's limit, from the server's own facts.
  EXPECT_NE(help.find("The server\nrefuses blanks and ' \" $ ( ) ; - # \\ in names, addresses "
                      "and\nmemos; a name takes 1 to 32 bytes."),
            std::string::npos)
      << help;
  EXPECT_EQ(parse_ok("signin bob").usage, "usage: signin NAME [PASSWORD]");
}

TEST(ClientCommands, LinesWithPasswordsOrOfNoCommandAreNotKept) {
  const struct {
    const char* line;
    bool kept;
  } cases[] = {
      {"signin bob pw", false},
      {"  SIGNUP 'bob' \"p w\"", false},
      {"singin alice s3cret", false},  // a mistyped command may hold a password
      {"frobnicate", false},
      {"", false},
      {"   ", false},
      {"'unclosed", false},
      {"signin bob", true},
      {"buy btc 1", true},
      {"buy doge 1", true},
      {"address list", true},
      {"Exit", true},
  };
  for (const auto& c : cases) EXPECT_EQ(line_may_be_kept(c.line), c.kept) << c.line;
}

TEST(ClientOptions, ChoosesTheServerAndCollectsCommands) {
  Options o;
  std::string error;
  const char* defaults[] = {"korvane"};
  ASSERT_TRUE(parse_options(1, defaults, &o, &error));
  EXPECT_EQ(o.host + ":" + o.port, "127.0.0.1:7070");
  EXPECT_TRUE(o.exec_path.empty());

  Options t;
  const char* tcp[] = {"korvane", "--connect", "[::1]:7", "-c", "me", "-c", "signout", "--human"};
  ASSERT_TRUE(parse_options(8, tcp, &t, &error));
  EXPECT_EQ(t.host, "::1");
  EXPECT_EQ(t.port, "7");
  EXPECT_EQ(t.commands, (std::vector<std::string>{"me", "signout"}));
  EXPECT_TRUE(t.human);

  Options e;
  const char* exec[] = {"korvane", "--exec=/bin/server"};
  ASSERT_TRUE(parse_options(2, exec, &e, &error));
  EXPECT_EQ(e.exec_path, "/bin/server");
}

TEST(ClientOptions, RefusesBadOptions) {
  struct Case {
    std::vector<const char*> argv;
    const char* error;
  };
  const Case cases[] = {
      {{"korvane", "--connect", "nowhere"}, "bad address 'nowhere': expected HOST:PORT"},
      {{"korvane", "--connect", "host:"}, "bad address 'host:': expected HOST:PORT"},
      {{"korvane", "-c"}, "option -c needs a value"},
      {{"korvane", "--connect", "a:1", "--exec", "/s"}, "give --connect or --exec, not both"},
      {{"korvane", "--verbose"}, "unknown option '--verbose'"},
      {{"korvane", "--connect", "127.0.0.1:abc"},
       "bad port 'abc' in '127.0.0.1:abc': expected a number from 1 to 65535"},
      {{"korvane", "--connect", ":99999"}, "bad address ':99999': expected HOST:PORT"},
      {{"korvane", "--connect", "h:99999"},
       "bad port '99999' in 'h:99999': expected a number from 1 to 65535"},
      {{"korvane", "--connect", "h:0"}, "bad port '0' in 'h:0': expected a number from 1 to 65535"},
  };
  for (const Case& c : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(parse_options(static_cast<int>(c.argv.size()), c.argv.data(), &o, &error));
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
