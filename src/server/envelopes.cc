#include "server/envelopes.h"

#include <cstdint>

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

}  // namespace

std::vector<std::string_view> split_envelopes(std::string_view bytes) {
  std::vector<std::string_view> envelopes;
  size_t start = 0, at = 0;
  bool has_code = false;
  while (at < bytes.size()) {
    const size_t field_start = at;
    uint64_t tag;
    if (!read_varint(bytes, &at, &tag) || (tag >> 3) == 0) break;
    if (tag == (kEventCodeField << 3 | kVarint)) {
      if (has_code) {
        envelopes.push_back(bytes.substr(start, field_start - start));
        start = field_start;
      }
      has_code = true;
    }
    if (!skip_value(bytes, &at, tag & 7)) break;
  }
  envelopes.push_back(bytes.substr(start));
  return envelopes;
}
