// How --exec finds the database scripts/run keeps in a checkout.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "korvane/local_db.h"

namespace {

TEST(ClientLocalDb, UsedOnlyWhenTheEnvironmentNamesNoDatabase) {
  // A checkout with its database: build/ and var/db/mysqld.sock.
  char tmpl[] = "/tmp/korvane-local-db.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl, dir = root + "/build/../var/db", sock = dir + "/mysqld.sock";
  for (const char* sub : {"/build", "/var", "/var/db"}) mkdir((root + sub).c_str(), 0700);
  const std::string server = root + "/build/korvane-server";
  EXPECT_EQ(local_database_dir(server), std::nullopt);  // no socket yet
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  sock.copy(a.sun_path, sizeof(a.sun_path) - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);

  const char* port = std::getenv("MYSQL_UNIX_PORT");
  const char* home = std::getenv("MYSQL_HOME");
  const std::string saved_port = port == nullptr ? "" : port,
                    saved_home = home == nullptr ? "" : home;
  setenv("MYSQL_UNIX_PORT", "/elsewhere/mysqld.sock", 1);
  EXPECT_EQ(use_local_database(server), std::nullopt);
  EXPECT_STREQ(std::getenv("MYSQL_UNIX_PORT"), "/elsewhere/mysqld.sock");
  unsetenv("MYSQL_UNIX_PORT");
  EXPECT_EQ(use_local_database(server), dir);
  EXPECT_EQ(std::string(std::getenv("MYSQL_UNIX_PORT")), sock);
  EXPECT_EQ(std::string(std::getenv("MYSQL_HOME")), dir);

  // The environment as it was, for the tests after this one.
  for (const auto& [name, value] :
       {std::pair{"MYSQL_UNIX_PORT", saved_port}, {"MYSQL_HOME", saved_home}}) {
    value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
  }
  close(listener);
  unlink(sock.c_str());
  for (const char* sub : {"/var/db", "/var", "/build", ""}) rmdir((root + sub).c_str());
}

}  // namespace
