// A global setting of the tests' database changed for a scope and put back at its end, however
// the scope is left (a failed assertion returns early; an exception unwinds). Connections copy
// most global settings when they open, so a server started inside the scope keeps the changed
// value for its life. A test process that dies outright cannot put anything back; the database
// it leaves is the throwaway one of its run, which scripts/test removes.
#ifndef KORVANE_TESTS_SUPPORT_GLOBAL_SETTING_H_
#define KORVANE_TESTS_SUPPORT_GLOBAL_SETTING_H_

#include <string>

class GlobalSetting {
 public:
  // Sets the global variable `name` to `value`, an SQL literal ("1", "'STRICT_ALL_TABLES'").
  GlobalSetting(const std::string& name, const std::string& value);
  ~GlobalSetting();
  GlobalSetting(const GlobalSetting&) = delete;
  GlobalSetting& operator=(const GlobalSetting&) = delete;

 private:
  std::string name_;
  std::string previous_;  // as an SQL literal
};

#endif  // KORVANE_TESTS_SUPPORT_GLOBAL_SETTING_H_
