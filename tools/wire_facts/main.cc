// wire_facts: prints web/js/wire_facts.js, the page's copy of the facts of the wire, from the
// headers the server and the command-line client read: the limits (base/wire_facts.h), the
// filtered characters (base/filter_characters.h), the reason codes with their meanings
// (base/reasons.h) and the event codes with the names the outcome line gives them
// (server/dispatch.h). The page imports the file and never writes these facts itself; a test
// (tools/CMakeLists.txt) fails when the committed file is not this program's output.
//
// Usage: build/tools/wire_facts > web/js/wire_facts.js
//        build/tools/wire_facts --check-scripts SOURCE_DIR
// The second form checks the facts that the serving scripts, which are not C++, write themselves
// (the WebSocket endpoint's message limit, the closing line of a connection turned away), against
// the same headers; another test runs it.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "base/filter_characters.h"
#include "base/reasons.h"
#include "base/wire_facts.h"
#include "server/dispatch.h"

namespace {

// Every event code; their names are the dispatch table's (event_name).
constexpr int32_t kEventCodes[] = {
    event::kSignUp,        event::kSignIn,        event::kSignOut,       event::kMyInfo,
    event::kViewMarket,    event::kBuy,           event::kSell,          event::kViewHistory,
    event::kAddAddress,    event::kModifyAddress, event::kDeleteAddress, event::kDeposit,
    event::kListAddresses, event::kViewBalance,
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

// Whether the file at `path` holds `text`; says which fact is missing when it does not.
bool holds(const std::string& path, const std::string& text) {
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  if (file && content.str().find(text) != std::string::npos) return true;
  std::fprintf(stderr, "wire_facts: %s does not hold '%s'\n", path.c_str(), text.c_str());
  return false;
}

int check_scripts(const std::string& root) {
  const bool endpoint = holds(root + "/scripts/lib/web-endpoint",
                              "kMaxMessage = " + std::to_string(wire::kMaxRequestBytes) + " ");
  const bool session =
      holds(root + "/scripts/lib/session", std::string("echo \"") + wire::kClosingLine);
  return endpoint && session ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--check-scripts") == 0) return check_scripts(argv[2]);
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
  std::printf("export const FEE_PERCENT = %d;\n", wire::kFeePercent);
  std::printf("// The last second an order can carry (2038-01-19 03:14:07 UTC).\n");
  std::printf("export const LATEST_TRADE_TIME = %llu;\n",
              static_cast<unsigned long long>(wire::kLatestTradeTime));
  std::printf(
      "// The server prints the prompt after every answer; nothing else it prints ends without a\n"
      "// line end.\n");
  std::printf("export const PROMPT = %s;\n", quoted(wire::kPrompt).c_str());
  std::printf("// How the outcome line, the last of an answer that asked for it, starts.\n");
  std::printf("export const OUTCOME_LINE_START = %s;\n", quoted(wire::kOutcomeLineStart).c_str());
  std::printf(
      "// The line a connection closed before its server starts gets (then the reason, no "
      "prompt),\n// and the line of a server that cannot reach the exchange's database.\n");
  std::printf("export const CLOSING_LINE = %s;\n", quoted(wire::kClosingLine).c_str());
  std::printf("export const CONNECTION_ERROR_LINE = %s;\n",
              quoted(wire::kConnectionErrorLine).c_str());
  std::printf(
      "// How long a person waits for the first prompt, and for an answer, before being told "
      "what\n// may hold it up.\n");
  std::printf("export const SLOW_GREETING_MS = %d;\n", wire::kSlowGreetingMs);
  std::printf("export const SLOW_ANSWER_MS = %d;\n\n", wire::kSlowAnswerMs);

  std::printf(
      "// The characters the server refuses in names, addresses and memos, in the order it checks\n"
      "// them: an outcome's detail is the first of this list that the text holds.\n");
  std::printf("export const FILTERED_CHARACTERS = [");
  for (size_t i = 0; i < sizeof(kFilteredCharacters); ++i) {
    std::printf("%s%s", i == 0 ? "" : ", ", quoted(std::string(1, kFilteredCharacters[i])).c_str());
  }
  std::printf("];\n");
  std::printf("// Each filtered character in words: a blank, for one, is invisible in a line.\n");
  std::printf("export const FILTERED_CHARACTER_NAMES = {\n");
  for (const FilteredCharacterName& named : kFilteredCharacterNames) {
    std::printf("  %s: %s,\n", quoted(std::string(1, named.c)).c_str(),
                quoted(named.words).c_str());
  }
  std::printf("};\n\n");

  std::printf("// The reasons an outcome line gives, each with its meaning.\n");
  std::printf("export const REASONS = {\n");
  for (const ReasonRow& row : kReasonTable) {
    std::printf("  %s: %s,\n", row.code, quoted(row.meaning).c_str());
  }
  std::printf("};\n\n");

  std::printf("// The event codes, by the names an outcome line gives them.\n");
  std::printf("export const EVENTS = {\n");
  for (int32_t code : kEventCodes) {
    std::printf("  %s: 0x%08x,\n", event_name(code), static_cast<uint32_t>(code));
  }
  std::printf("};\n");
  return 0;
}
