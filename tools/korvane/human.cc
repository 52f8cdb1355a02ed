#include "korvane/human.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/util/json_util.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// Fields that hold seconds since the epoch.
constexpr const char* kTimeFields[] = {"korvane.HistoryResponse.trade_time"};

// Server lines that mean a refusal, and how the view names them.
struct NamedLine {
  const char* server;
  const char* human;
};
constexpr NamedLine kNamedLines[] = {
    {kBotGuardLine,
     "refused by the bot guard: an order of this coin and side at the same second was already "
     "made"},
};

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

std::string humanize(const std::string& answer, const Message* answer_type) {
  std::string out;
  walk(
      answer, answer_type, [&](const Message& m) { out += render(m); },
      [&](const std::string& line) {
        for (const NamedLine& named : kNamedLines) {
          if (line == std::string(named.server) + "\n") {
            out += std::string(named.human) + "\n";
            return;
          }
        }
        out += line;
      });
  return out;
}

int count_documents(const std::string& answer, const Message& answer_type) {
  int n = 0;
  walk(
      answer, &answer_type, [&](const Message&) { ++n; }, [](const std::string&) {});
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
