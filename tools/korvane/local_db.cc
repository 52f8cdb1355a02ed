#include "korvane/local_db.h"

#include <sys/stat.h>

#include <cstdlib>

std::optional<std::string> local_database_dir(const std::string& server_path) {
  size_t slash = server_path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : server_path.substr(0, slash + 1);
  if (folder.back() != '/') folder += '/';
  std::string dir = folder + "../var/db";
  struct stat st;
  if (stat((dir + "/mysqld.sock").c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
  return dir;
}

std::optional<std::string> use_local_database(const std::string& server_path) {
  if (std::getenv("MYSQL_UNIX_PORT") != nullptr) return std::nullopt;
  std::optional<std::string> dir = local_database_dir(server_path);
  if (!dir) return std::nullopt;
  setenv("MYSQL_UNIX_PORT", (*dir + "/mysqld.sock").c_str(), 1);
  setenv("MYSQL_HOME", dir->c_str(), 1);  // its my.cnf names the socket for the mysql client
  return dir;
}
