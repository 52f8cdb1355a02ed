// The fixed lines the server answers with, each a line of its own (the printer adds the line
// end). They are the protocol's own texts, cryptic as some are: the command-line client names
// them in words (korvane/human.h) and finds them in answers, so the server and the client read
// them from here, and a grep for any of them finds one place.
#ifndef KORVANE_BASE_REPLY_LINES_H_
#define KORVANE_BASE_REPLY_LINES_H_

namespace wire {

// An order refused by the bot guard: the account made one of this coin, side and second already.
constexpr char kBotGuardLine[] = "[-] DETECTED Trading Bot";
// A sign-in whose name and password match no account.
constexpr char kNoSuchLoginLine[] = "There is no username, password";
// A second sign-in on one connection: a server allows one.
constexpr char kMultiLoginLine[] = "Do not multi-login!";
// A sign-up whose name is taken (the duplicate-key error of the insert).
constexpr char kDuplicateIdLine[] = "Duplicate ID";
// A deposit: not offered yet; the text is the protocol's, the name of another handler and all.
constexpr char kDepositStubLine[] = "Hello handle_sell";
// Deleting an address: not offered yet.
constexpr char kDeleteStubLine[] = "TODO";
// Bytes that do not decode as a request envelope.
constexpr char kParseErrorLine[] = "Error parse_handler();";
// Text that holds a filtered character (base/filter_characters.h): this, then the character.
constexpr char kFilteredPrefix[] = "Detected SQL Injection: ";

}  // namespace wire

#endif  // KORVANE_BASE_REPLY_LINES_H_
