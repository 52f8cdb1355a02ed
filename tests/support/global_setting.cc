#include "support/global_setting.h"

#include <algorithm>
#include <cctype>

#include "support/test_db.h"

namespace {

// The value as read back, as a literal SET GLOBAL takes: numbers bare (a quoted number is refused
// for a numeric variable), anything else quoted.
std::string literal(const std::string& value) {
  const bool number = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
  if (number) return value;
  std::string out = "'";
  for (char c : value) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

}  // namespace

GlobalSetting::GlobalSetting(const std::string& name, const std::string& value) : name_(name) {
  TestDb root(TestDb::kRoot);
  previous_ = literal(root.value("SELECT @@GLOBAL." + name_));
  root.exec("SET GLOBAL " + name_ + "=" + value);
}

GlobalSetting::~GlobalSetting() {
  // A fresh connection: the test may have restarted the database since.
  TestDb root(TestDb::kRoot);
  root.exec("SET GLOBAL " + name_ + "=" + previous_);
}
