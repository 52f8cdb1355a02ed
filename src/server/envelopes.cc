#include "server/envelopes.h"

#include <algorithm>
#include <cstdint>

#include "korvane.pb.h"
#include "server/dispatch.h"

namespace {

// The wire types of the encoding; groups (3 and 4) appear in no message of ours.
constexpr uint64_t kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5;
constexpr uint64_t kEventCodeField = 1;

// Reads a varint at *at; false when the bytes end first or it runs past ten bytes.
bool read_varint(std::string_view bytes, size_t* at, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64 && *at < bytes.size(); shift += 7) {
    const auto byte = static_cast<uint8_t>(bytes[(*at)++]);
    *value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// Moves *at past the value of a field of `wire_type`; false when it does not fit in `bytes`.
bool skip_value(std::string_view bytes, size_t* at, uint64_t wire_type) {
  uint64_t size;
  switch (wire_type) {
    case kVarint:
      return read_varint(bytes, at, &size);
    case kFixed64:
      size = 8;
      break;
    case kFixed32:
      size = 4;
      break;
    case kLengthDelimited:
      if (!read_varint(bytes, at, &size)) return false;
      break;
    default:
      return false;
  }
  if (size > bytes.size() - *at) return false;
  *at += static_cast<size_t>(size);
  return true;
}

// One top-level field: its number, where its tag starts, and whether it is the event code (a
// varint), with its value.
struct Field {
  uint64_t number;
  size_t start;
  bool is_code;
  int32_t code;
};

// The top-level fields of `bytes` from their start, as far as their tags read; the last one's
// value may be cut. *walked is where the last whole one ends.
std::vector<Field> walk_fields(std::string_view bytes, size_t* walked) {
  std::vector<Field> fields;
  *walked = 0;
  for (size_t at = 0; at < bytes.size(); *walked = at) {
    const size_t start = at;
    uint64_t tag, value;
    if (!read_varint(bytes, &at, &tag) || (tag >> 3) == 0) break;
    fields.push_back({tag >> 3, start, false, 0});
    if (tag == (kEventCodeField << 3 | kVarint)) {
      if (!read_varint(bytes, &at, &value)) break;
      fields.back().is_code = true;
      fields.back().code = static_cast<int32_t>(value);  // as an int32 field decodes
    } else if (!skip_value(bytes, &at, tag & 7)) {
      break;
    }
  }
  return fields;
}

// The event code among fields[first, end); false when there is none.
bool find_code(const std::vector<Field>& fields, size_t first, size_t end, int32_t* code) {
  for (size_t i = first; i < end; ++i) {
    if (!fields[i].is_code) continue;
    *code = fields[i].code;
    return true;
  }
  return false;
}

// Whether field `number` of the envelope holds a nested request message (one of the events').
bool is_request_field(uint64_t number) {
  if (number > static_cast<uint64_t>(INT32_MAX)) return false;
  const auto* field =
      korvane::KorvaneInterface::descriptor()->FindFieldByNumber(static_cast<int>(number));
  return field != nullptr && field->type() == google::protobuf::FieldDescriptor::TYPE_MESSAGE;
}

// A field that an envelope with `code` does not take: the nested message of another event. The
// envelope's own fields (its code, ask_outcome) go with any envelope.
bool is_foreign(const Field& field, int32_t code) {
  return is_request_field(field.number) &&
         field.number != static_cast<uint64_t>(required_request_field(code));
}

// Where the envelope of fields[repeat] starts, given that it repeats the field of the envelope
// that starts at fields[first]: at fields[repeat], or before it by the fields of the one before
// that follow its code and that the code does not take (the nested message of an envelope whose
// code comes last). None moves past the field repeated, which the one before keeps.
size_t next_envelope_start(const std::vector<Field>& fields, size_t first, size_t repeat) {
  int32_t code;
  if (!find_code(fields, first, repeat, &code)) return repeat;
  size_t start = repeat;
  while (fields[start - 1].number != fields[repeat].number && is_foreign(fields[start - 1], code)) {
    --start;
  }
  return start;
}

// Whether fields[first, end) hold a field numbered `number`.
bool holds_number(const std::vector<Field>& fields, size_t first, size_t end, uint64_t number) {
  return std::any_of(fields.begin() + first, fields.begin() + end,
                     [number](const Field& field) { return field.number == number; });
}

// Whether fields[0, end) are a whole envelope: they hold the event code and the nested message
// the code requires, and end with one of the two.
bool is_whole(const std::vector<Field>& fields, size_t end) {
  int32_t code;
  if (!find_code(fields, 0, end, &code)) return false;
  const int required = required_request_field(code);
  if (required != 0 && !holds_number(fields, 0, end, static_cast<uint64_t>(required))) {
    return false;
  }
  return !is_foreign(fields[end - 1], code);
}

bool is_whole_envelope(std::string_view piece) {
  size_t walked;
  const std::vector<Field> fields = walk_fields(piece, &walked);
  return walked == piece.size() && is_whole(fields, fields.size());
}

// Where the fields of the envelope that starts at fields[0] end: before the fields at the end,
// after its code, that the code does not take. They may be the next envelope's, its code to come.
size_t own_fields_end(const std::vector<Field>& fields) {
  int32_t code;
  size_t end = fields.size();
  if (!find_code(fields, 0, end, &code)) return end;
  while (is_foreign(fields[end - 1], code)) --end;  // the code itself is not foreign
  return end;
}

}  // namespace

std::vector<std::string_view> split_envelopes(std::string_view bytes) {
  size_t walked;
  const std::vector<Field> fields = walk_fields(bytes, &walked);
  std::vector<std::string_view> envelopes;
  size_t start = 0, first = 0;  // where the envelope being cut starts, in bytes and in fields
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!holds_number(fields, first, i, fields[i].number)) continue;
    first = next_envelope_start(fields, first, i);
    envelopes.push_back(bytes.substr(start, fields[first].start - start));
    start = fields[first].start;
  }
  envelopes.push_back(bytes.substr(start));
  return envelopes;
}

std::string_view cut_envelope_start(const std::vector<std::string_view>& pieces) {
  const std::string_view last = pieces.back();
  size_t walked;
  const std::vector<Field> fields = walk_fields(last, &walked);
  const size_t end = own_fields_end(fields);
  if (end < fields.size() && is_whole(fields, end)) return last.substr(fields[end].start);
  if (walked == last.size() && is_whole(fields, fields.size())) return {};
  const bool after_whole = std::any_of(pieces.begin(), pieces.end() - 1, is_whole_envelope);
  return after_whole ? last : std::string_view();
}
