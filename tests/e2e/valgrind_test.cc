// One whole client session with the server running under valgrind's memcheck: no invalid read or
// write, no decision on uninitialised memory, and no memory lost for good when the process ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

constexpr int kValgrindFound = 99;

TEST(Valgrind, OneSessionIsClean) {
#ifdef KORVANE_SANITIZED
  GTEST_SKIP() << "this server is built with sanitizers, which valgrind cannot run";
#endif
  if (std::system("command -v valgrind >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "valgrind is not installed";
  }
  TestDb db;
  db.set_market("BTC", 100, 50);
  char log[] = "/tmp/korvane-valgrind.XXXXXX";
  int fd = mkstemp(log);
  ASSERT_GE(fd, 0);
  close(fd);

  ServerProcess server(
      {},
      {"valgrind", "--quiet", "--error-exitcode=" + std::to_string(kValgrindFound),
       "--leak-check=full", "--errors-for-leak-kinds=definite", std::string("--log-file=") + log});
  ASSERT_EQ(server.read_until_prompt(), "");
  const std::string name = unique_name("vg");
  sign_up_and_in(server, db, name);
  EXPECT_NE(server.send(envelopes::my_info()), "");
  EXPECT_NE(server.send(envelopes::buy(0, 2, 1)).find("\"flag\": true"), std::string::npos);
  EXPECT_NE(server.send(envelopes::sell(0, 1, 1)).find("\"flag\": false"), std::string::npos);
  EXPECT_NE(server.send(envelopes::history(0, 1)), "");
  EXPECT_NE(server.send(envelopes::add_address(0, "rValgrind", "1")), "");
  const std::string entry =
      db.value("SELECT id FROM kv_addressbook WHERE acc_id=" + std::to_string(db.account_id(name)));
  EXPECT_NE(server.send(envelopes::modify_address(std::stoi(entry), "rMoved")), "");
  EXPECT_NE(server.send(envelopes::modify_address(-1, "rAll", "rMoved")), "");
  EXPECT_EQ(server.send(envelopes::signout()), "");
  EXPECT_EQ(server.send(std::string("\xff\xff", 2)), "Error parse_handler();\n");
  server.close_input();
  server.read_to_end();

  const int status = server.wait_exit();
  std::stringstream report;
  report << std::ifstream(log).rdbuf();
  EXPECT_EQ(status, 0) << report.str();
  unlink(log);
}

}  // namespace
