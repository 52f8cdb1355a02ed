// The database scripts/run starts for a checkout: the folder var/db at the top of the checkout,
// holding the socket mysqld.sock and a my.cnf that names it for the mysql client. scripts/run
// points the servers it serves there through their environment; a server the client starts
// itself with --exec needs the same, or it looks for the system's database.
#ifndef KORVANE_TOOLS_KORVANE_LOCAL_DB_H_
#define KORVANE_TOOLS_KORVANE_LOCAL_DB_H_

#include <optional>
#include <string>

// The folder of that database as seen from the server program at `server_path`: var/db beside
// the program's own folder (build/korvane-server gives build/../var/db). Nothing when no socket
// is there.
std::optional<std::string> local_database_dir(const std::string& server_path);

// Points a server about to be started from `server_path` at the local database, by setting
// MYSQL_UNIX_PORT and MYSQL_HOME in this process's environment, which the server inherits.
// Does nothing when MYSQL_UNIX_PORT is set already (the environment names its own database) or
// there is no local database. Returns the folder it chose.
std::optional<std::string> use_local_database(const std::string& server_path);

#endif  // KORVANE_TOOLS_KORVANE_LOCAL_DB_H_
