// wire_facts: prints web/js/wire_facts.js, the page's copy of the facts of the wire, from the
// headers the server and the command-line client read: the limits (base/wire_facts.h), the
// filtered characters (base/filter_characters.h), the reason codes with their meanings
// (base/reasons.h) and the event codes (server/dispatch.h) with the names the outcome line gives
// them. The page imports the file and never writes these facts itself; a test
// (tools/CMakeLists.txt) fails when the committed file is not this program's output.
//
// Usage: build/tools/wire_facts > web/js/wire_facts.js
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/filter_characters.h"
#include "base/reasons.h"
#include "base/wire_facts.h"
#include "server/dispatch.h"

namespace {

// Each event code with the name the outcome line gives it, in the order of their codes.
struct EventName {
  int32_t code;
  const char* name;
};
constexpr EventName kEventNames[] = {
    {event::kSignUp, "signup"},
    {event::kSignIn, "signin"},
    {event::kSignOut, "signout"},
    {event::kMyInfo, "my_info"},
    {event::kViewMarket, "market"},
    {event::kBuy, "buy"},
    {event::kSell, "sell"},
    {event::kViewHistory, "history"},
    {event::kAddAddress, "add_address"},
    {event::kModifyAddress, "modify_address"},
    {event::kDeleteAddress, "delete_address"},
    {event::kDeposit, "deposit"},
    {event::kListAddresses, "list_addresses"},
    {event::kViewBalance, "balances"},
};

// `text` as a JavaScript string literal in single quotes.
std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

}  // namespace

int main() {
  std::printf(
      "// The facts of the wire the page holds to, as the server holds to them. Written by\n"
      "// tools/wire_facts from src/base/wire_facts.h, src/base/filter_characters.h,\n"
      "// src/base/reasons.h and src/server/dispatch.h; do not edit it, run\n"
      "// `build/tools/wire_facts > web/js/wire_facts.js` instead (a test compares the two).\n\n");

  std::printf("// One request is one read of the server: at most this many bytes.\n");
  std::printf("export const MAX_REQUEST_BYTES = %zu;\n", wire::kMaxRequestBytes);
  std::printf("export const MAX_USERNAME_BYTES = %zu;\n", wire::kMaxUsernameBytes);
  std::printf("export const MAX_ADDRESS_BYTES = %zu;\n", wire::kMaxAddressBytes);
  std::printf("export const MAX_ADDRESS_BOOK_ENTRIES = %u;\n", wire::kMaxAddressBookEntries);
  std::printf("// The entry id of a rewrite that rewrites every entry of the book.\n");
  std::printf("export const EVERY_ADDRESS_BOOK_ENTRY = %d;\n", wire::kEveryAddressBookEntry);
  std::printf("export const STARTING_KRW = %lld;\n", static_cast<long long>(wire::kStartingKrw));
  std::printf("// The fee on each side of a trade, in percent of its value.\n");
  std::printf("export const FEE_PERCENT = %d;\n\n", wire::kFeePercent);

  std::printf(
      "// The characters the server refuses in names, addresses and memos, in the order it checks\n"
      "// them: an outcome's detail is the first of this list that the text holds.\n");
  std::printf("export const FILTERED_CHARACTERS = [");
  for (size_t i = 0; i < sizeof(kFilteredCharacters); ++i) {
    std::printf("%s%s", i == 0 ? "" : ", ", quoted(std::string(1, kFilteredCharacters[i])).c_str());
  }
  std::printf("];\n\n");

  std::printf("// The reasons an outcome line gives, each with its meaning.\n");
  std::printf("export const REASONS = {\n");
  for (const ReasonRow& row : kReasonTable) {
    std::printf("  %s: %s,\n", row.code, quoted(row.meaning).c_str());
  }
  std::printf("};\n\n");

  std::printf("// The event codes, by the names an outcome line gives them.\n");
  std::printf("export const EVENTS = {\n");
  for (const EventName& e : kEventNames) {
    std::printf("  %s: 0x%08x,\n", e.name, static_cast<uint32_t>(e.code));
  }
  std::printf("};\n");
  return 0;
}
