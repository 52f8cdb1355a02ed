// korvane_bare_connect: the memory floor of a session process. It links only the database client
// library, connects as the server does, and prints its own peak resident set (VmHWM) in KiB.
#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/connection_params.h"

int main() {
  MYSQL* conn = mysql_init(nullptr);
  if (conn == nullptr) return 1;
  mysql_options(conn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (mysql_real_connect(conn, db_params::kHost, db_params::kUser, db_params::kPassword,
                         db_params::kDatabase, 0, nullptr, 0) == nullptr) {
    std::fprintf(stderr, "connect: %s\n", mysql_error(conn));
    return 1;
  }
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof(line), status) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(status);
  mysql_close(conn);
  std::printf("%ld\n", kib);
  return kib > 0 ? 0 : 1;
}
