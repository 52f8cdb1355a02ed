// Several sessions of one account filling its address book at once: the limit of ten entries
// holds across processes.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

constexpr int kSessions = 4;
constexpr int kAddsPerSession = 5;

TEST(AddressBookConcurrency, ParallelAddsNeverPassTheLimit) {
  TestDb db;
  std::string name = unique_name("book");
  std::vector<std::unique_ptr<ServerProcess>> sessions;
  for (int s = 0; s < kSessions; ++s) sessions.push_back(signed_in_server(db, name));
  ASSERT_FALSE(HasFailure());
  std::string id = std::to_string(db.account_id(name));

  std::atomic<bool> go{false};
  std::atomic<int> stored{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < kSessions; ++s) {
    threads.emplace_back([&, s] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kAddsPerSession; ++i) {
        std::string address = "addr" + std::to_string(s) + "x" + std::to_string(i);
        std::string answer = sessions[s]->send(envelopes::add_address(0, address, "1", 5));
        if (answer.find("\"memo\"") != std::string::npos) ++stored;
      }
    });
  }
  go = true;
  for (auto& t : threads) t.join();

  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_addressbook WHERE acc_id=" + id), "10");
  EXPECT_EQ(stored.load(), 10);
}

}  // namespace
