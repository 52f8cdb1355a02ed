#include "base/json_print.h"

#include <google/protobuf/util/json_util.h>

#include <string>

#include "base/output.h"

void print_json_response(const google::protobuf::Message& message, JsonFields fields) {
  google::protobuf::util::JsonPrintOptions options;
  options.add_whitespace = true;
  options.always_print_primitive_fields = (fields == JsonFields::kAllFields);
  options.always_print_enums_as_ints = false;
  options.preserve_proto_field_names = true;
  std::string json;
  if (!google::protobuf::util::MessageToJsonString(message, &json, options).ok()) return;
  print_line(json);
}

void print_json_line(const google::protobuf::Message& message) {
  google::protobuf::util::JsonPrintOptions options;
  options.preserve_proto_field_names = true;
  std::string json;
  if (!google::protobuf::util::MessageToJsonString(message, &json, options).ok()) return;
  print_line(json);
}
