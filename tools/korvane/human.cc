#include "korvane/human.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/util/json_util.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>

#include "base/reply_lines.h"
#include "exchange/market.h"
#include "korvane.pb.h"

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// Fields that hold seconds since the epoch.
constexpr const char* kTimeFields[] = {"korvane.HistoryResponse.trade_time"};

// Server lines that are cryptic (base/reply_lines.h), and how the view names them.
struct NamedLine {
  const char* server;
  const char* human;
};
constexpr NamedLine kNamedLines[] = {
    {wire::kBotGuardLine,
     "refused by the bot guard: an order of this coin and side at the same second was already "
     "made"},
    {wire::kDuplicateIdLine, "the name is taken: choose another"},
    {wire::kNoSuchLoginLine, "wrong name or password"},
    {wire::kMultiLoginLine, "this connection has had its one sign-in"},
    {wire::kDepositStubLine, "deposits are not offered yet"},
    {wire::kDeleteStubLine, "deleting an address is not offered yet"},
};

// The statements an order echoes, one per balance it changes (src/db/statements.h):
// "UPDATE kv_uservault SET XRP_amount=XRP_amount+100 WHERE acc_id=1".
constexpr char kVaultUpdate[] = "UPDATE kv_uservault SET ";

// "balance change: XRP +100" for such a statement; nothing for any other line.
std::optional<std::string> balance_change(const std::string& line) {
  const size_t prefix = sizeof(kVaultUpdate) - 1;
  if (line.compare(0, prefix, kVaultUpdate) != 0) return std::nullopt;
  const size_t column_end = line.find("_amount=", prefix);
  if (column_end == std::string::npos) return std::nullopt;
  const std::string coin = line.substr(prefix, column_end - prefix);
  const std::string again = coin + "_amount";
  size_t sign = column_end + 8 + again.size();
  if (line.compare(column_end + 8, again.size(), again) != 0 || sign >= line.size() ||
      (line[sign] != '+' && line[sign] != '-')) {
    return std::nullopt;
  }
  const size_t amount_end = line.find(' ', sign);
  return "balance change: " + coin + " " + line.substr(sign, amount_end - sign);
}

// "57", "-1": a line of a whole number.
bool is_number(const std::string& text) {
  const size_t digits = text.compare(0, 1, "-") == 0 ? 1 : 0;
  return text.size() > digits && text.find_first_not_of("0123456789", digits) == std::string::npos;
}

bool is_time_field(const FieldDescriptor* f) {
  for (const char* name : kTimeFields) {
    if (f->full_name() == name) return true;
  }
  return false;
}

// Decoded bytes stay readable on one line: control characters are shown as \xNN.
std::string printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x20 || c == 0x7f) {
      char esc[5];
      std::snprintf(esc, sizeof(esc), "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string field_text(const Message& m, const FieldDescriptor* f) {
  const Reflection* r = m.GetReflection();
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
      return std::to_string(r->GetInt32(m, f));
    case FieldDescriptor::CPPTYPE_INT64:
      return std::to_string(r->GetInt64(m, f));
    case FieldDescriptor::CPPTYPE_UINT32:
      return std::to_string(r->GetUInt32(m, f));
    case FieldDescriptor::CPPTYPE_UINT64:
      return is_time_field(f) ? utc_time(r->GetUInt64(m, f)) : std::to_string(r->GetUInt64(m, f));
    case FieldDescriptor::CPPTYPE_BOOL:
      return r->GetBool(m, f) ? "true" : "false";
    case FieldDescriptor::CPPTYPE_ENUM:
      return r->GetEnum(m, f)->name();
    case FieldDescriptor::CPPTYPE_STRING:
      return printable(r->GetString(m, f));  // bytes arrive decoded from their base64
    default:
      return "";
  }
}

std::string render(const Message& m) {
  if (m.GetDescriptor() == korvane::AddressBookEntry::descriptor()) {
    return entry_words(static_cast<const korvane::AddressBookEntry&>(m)) + "\n";
  }
  std::string out;
  const google::protobuf::Descriptor* d = m.GetDescriptor();
  for (int i = 0; i < d->field_count(); ++i) {
    const FieldDescriptor* f = d->field(i);
    if (f->is_repeated() || !m.GetReflection()->HasField(m, f)) continue;
    out += f->name() + ": " + field_text(m, f) + "\n";
  }
  return out;
}

// Cuts `answer` into the documents that parse as `answer_type` (each with the empty line after
// it) and the lines between them, and hands each piece on in order.
void walk(const std::string& answer, const Message* answer_type,
          const std::function<void(const Message&)>& on_document,
          const std::function<void(const std::string&)>& on_line) {
  size_t pos = 0;
  while (pos < answer.size()) {
    size_t eol = answer.find('\n', pos);
    size_t next = eol == std::string::npos ? answer.size() : eol + 1;
    if (answer_type != nullptr && answer.compare(pos, next - pos, "{\n") == 0) {
      // A document runs from a line "{" to the next line "}".
      size_t close = answer.find("\n}\n", pos);
      if (close != std::string::npos) {
        size_t end = close + 3;
        std::unique_ptr<Message> message(answer_type->New());
        if (google::protobuf::util::JsonStringToMessage(answer.substr(pos, end - pos),
                                                        message.get())
                .ok()) {
          on_document(*message);
          pos = end;
          if (pos < answer.size() && answer[pos] == '\n') ++pos;
          continue;
        }
      }
    }
    on_line(answer.substr(pos, next - pos));
    pos = next;
  }
}

}  // namespace

std::string humanize(const std::string& answer, const Message* answer_type, size_t skip_lines) {
  // A sign-up prints its id on a line of its own before the document that holds it again.
  const bool sign_up = answer_type != nullptr &&
                       answer_type->GetDescriptor() == korvane::SignUpResponse::descriptor();
  std::string out;
  bool after_document = false;
  size_t skipped = 0;
  bool documents_began = false;
  // An echo of text is left out only where the document that follows shows it again; a number
  // (a price, a stock, an entry id) also where none follows, the client's note saying the rest.
  const bool document_follows = answer_type != nullptr && count_documents(answer, *answer_type) > 0;
  walk(
      answer, answer_type,
      [&](const Message& m) {
        // An entry of the address list is one line; other documents take several, and an
        // empty line keeps two apart.
        const bool one_line = m.GetDescriptor() == korvane::AddressBookEntry::descriptor();
        if (after_document && !one_line) out += "\n";
        out += render(m);
        after_document = true;
        documents_began = true;
      },
      [&](const std::string& line) {
        after_document = false;
        const std::string text = line.substr(0, line.find('\n'));
        if (!documents_began && skipped < skip_lines && (document_follows || is_number(text))) {
          ++skipped;
          return;
        }
        if (sign_up && text.compare(0, 8, "acc_id: ") == 0) return;
        for (const NamedLine& named : kNamedLines) {
          if (text == named.server) {
            out += std::string(named.human) + "\n";
            return;
          }
        }
        if (std::optional<std::string> change = balance_change(text)) {
          out += *change + "\n";
          return;
        }
        out += line;
      });
  return out;
}

std::string entry_words(const korvane::AddressBookEntry& entry) {
  std::string words = "entry " + std::to_string(entry.id()) + ": " + printable(entry.symbol()) +
                      " address " + printable(entry.address());
  if (entry.has_memo()) words += " memo " + printable(entry.memo());
  return words;
}

std::string symbol_name(int64_t id) {
  // The server's own table of coins names them.
  std::optional<std::string> name;
  if (id >= 0 && id <= INT32_MAX) name = convert_sym_with_id(static_cast<int32_t>(id));
  return name ? *name : "coin " + std::to_string(id);
}

void walk_documents(const std::string& answer, const Message& answer_type,
                    const std::function<void(const Message&)>& on_document) {
  walk(answer, &answer_type, on_document, [](const std::string&) {});
}

int count_documents(const std::string& answer, const Message& answer_type) {
  int n = 0;
  walk_documents(answer, answer_type, [&](const Message&) { ++n; });
  return n;
}

std::string utc_time(uint64_t seconds) {
  constexpr uint64_t kLastYear9999 = 253402300799;  // 9999-12-31 23:59:59 UTC
  std::tm parts{};
  const time_t t = static_cast<time_t>(seconds);
  if (seconds > kLastYear9999 || gmtime_r(&t, &parts) == nullptr) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}
