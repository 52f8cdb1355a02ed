#include "korvane/human.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/util/json_util.h>

#include <cstdio>
#include <memory>

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

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
      return std::to_string(r->GetUInt64(m, f));
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

}  // namespace

std::string humanize(const std::string& answer, const Message* answer_type) {
  if (answer_type == nullptr) return answer;
  std::string out;
  size_t pos = 0;
  while (pos < answer.size()) {
    size_t eol = answer.find('\n', pos);
    size_t next = eol == std::string::npos ? answer.size() : eol + 1;
    if (answer.compare(pos, next - pos, "{\n") == 0) {
      // A document runs from a line "{" to the next line "}".
      size_t close = answer.find("\n}\n", pos);
      if (close != std::string::npos) {
        size_t end = close + 3;
        std::unique_ptr<Message> message(answer_type->New());
        if (google::protobuf::util::JsonStringToMessage(answer.substr(pos, end - pos),
                                                        message.get())
                .ok()) {
          out += render(*message);
          pos = end;
          if (pos < answer.size() && answer[pos] == '\n') ++pos;
          continue;
        }
      }
    }
    out.append(answer, pos, next - pos);
    pos = next;
  }
  return out;
}
