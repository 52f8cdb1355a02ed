// Adding and rewriting withdrawal addresses, end to end.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/signed_in_test.h"
#include "support/test_db.h"

namespace {

constexpr int kEth = 1, kXrp = 2;
using Rows = std::vector<std::vector<std::string>>;

using answers::address_added;
using answers::address_modified;

class AddressBook : public SignedInTest {
 protected:
  AddressBook() : SignedInTest("book") {}

  // Adds an entry through the server and returns its id.
  std::string add(const std::string& address, const std::string& memo = "1") {
    EXPECT_EQ(server.send(envelopes::add_address(kXrp, address, memo, 1)),
              address_added("XRP", address, memo));
    return db.value("SELECT MAX(id) FROM kv_addressbook WHERE acc_id=" + acc);
  }

  std::string entries() {
    return db.value("SELECT COUNT(*) FROM kv_addressbook WHERE acc_id=" + acc);
  }
  Rows addresses() {
    return db.rows("SELECT id, address FROM kv_addressbook WHERE acc_id=" + acc + " ORDER BY id");
  }
};

TEST_F(AddressBook, AddEchoesStoresAndAnswers) {
  EXPECT_EQ(server.send(envelopes::add_address(kEth, "0xAbC.def_1", "+7", 1700000000)),
            address_added("ETH", "0xAbC.def_1", "+7"));
  EXPECT_EQ(
      db.rows("SELECT symbol, address, memo, create_at_ts FROM kv_addressbook WHERE acc_id=" + acc),
      (Rows{{"ETH", "0xAbC.def_1", "+7", "1700000000"}}));
  // 2^63 is stored as the signed number it becomes.
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, "r2", "123abc", 9223372036854775808ull)),
            address_added("XRP", "r2", "123abc"));
  EXPECT_EQ(
      db.rows("SELECT memo, create_at_ts FROM kv_addressbook WHERE address='r2' AND acc_id=" + acc),
      (Rows{{"123abc", "-9223372036854775808"}}));
}

TEST_F(AddressBook, MissingOrZeroCreationTimeIsNow) {
  long before = std::time(nullptr);
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, "rNow", "5")),
            address_added("XRP", "rNow", "5"));
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, "rZero", "5", 0)),
            address_added("XRP", "rZero", "5"));
  long after = std::time(nullptr);
  for (const auto& row : db.rows("SELECT create_at_ts FROM kv_addressbook WHERE acc_id=" + acc)) {
    EXPECT_GE(std::stol(row[0]), before);
    EXPECT_LE(std::stol(row[0]), after);
  }
}

TEST_F(AddressBook, AddRefusesLongAddressesAndMemosWithoutANumber) {
  add(std::string(255, 'a'));
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, std::string(256, 'a'), "1")), "");
  // The length check comes before the filter, so the filter stays quiet.
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, std::string(255, 'a') + "'", "1")), "");
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, "r1", std::nullopt)), "");
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, "r1", "0")), "");
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, "r1", "abc")), "");
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, "r1", "-5")), "Detected SQL Injection: -\n");
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, "r 1", "-5")), "Detected SQL Injection:  \n");
  // A NUL byte passes the filter but ends the statement inside its quotes: the insert fails, and
  // an add that stored nothing shows nothing.
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, std::string("r\0x", 3), "1")), "");
  EXPECT_EQ(entries(), "1");
}

TEST_F(AddressBook, TenEntriesAtMost) {
  for (int i = 0; i < 10; ++i) add("r" + std::to_string(i));
  EXPECT_EQ(server.send(envelopes::add_address(kXrp, "r10", "1")), "");
  EXPECT_EQ(entries(), "10");
}

TEST_F(AddressBook, ModifyOneEntry) {
  std::string id = add("rOld");
  std::string other = add("rOther");
  EXPECT_EQ(server.send(envelopes::modify_address(std::stoi(id), "rNew", "ignored")),
            address_modified(id, "rOld", "rNew"));
  EXPECT_EQ(addresses(), (Rows{{id, "rNew"}, {other, "rOther"}}));
  EXPECT_EQ(server.send(envelopes::modify_address(std::stoi(id), "rNew")), id + "\n");
  EXPECT_EQ(server.send(envelopes::modify_address(0, "rZero")), "0\n");
  EXPECT_EQ(server.send(envelopes::modify_address(std::stoi(id), "r$")),
            id + "\nDetected SQL Injection: $\n");
  // A rewrite has no length limit.
  std::string long_address(300, 'z');
  EXPECT_EQ(server.send(envelopes::modify_address(std::stoi(id), long_address)),
            address_modified(id, "rNew", long_address));
  EXPECT_EQ(addresses(), (Rows{{id, long_address}, {other, "rOther"}}));
}

TEST_F(AddressBook, ModifyLeavesOtherAccountsAlone) {
  db.exec("INSERT INTO kv_addressbook VALUES(NULL, 0, 'XRP', 'rForeign', '1', 1);");
  std::string foreign = db.value("SELECT LAST_INSERT_ID()");
  EXPECT_EQ(server.send(envelopes::modify_address(std::stoi(foreign), "rMine")), foreign + "\n");
  EXPECT_EQ(server.send(envelopes::modify_address(-1, "rMine")), "-1\n");
  EXPECT_EQ(db.value("SELECT address FROM kv_addressbook WHERE id=" + foreign), "rForeign");
}

TEST_F(AddressBook, ModifyEveryEntry) {
  std::string a = add("rA"), b = add("rB"), c = add("rC");
  EXPECT_EQ(server.send(envelopes::modify_address(-1, "rAll", "rB")),
            "-1\n" + a + "\n" + b + "\n" + c + "\n");
  EXPECT_EQ(addresses(), (Rows{{a, "rAll"}, {b, "rAll"}, {c, "rAll"}}));
  // Each rewrite screens the new address, so a filtered one is reported twice.
  EXPECT_EQ(server.send(envelopes::modify_address(-1, "r;x", "rAll")),
            "-1\nDetected SQL Injection: ;\nDetected SQL Injection: ;\n");
  EXPECT_EQ(server.send(envelopes::modify_address(-1, "rX", "r(")),
            "-1\nDetected SQL Injection: (\n");
  EXPECT_EQ(addresses(), (Rows{{a, "rAll"}, {b, "rAll"}, {c, "rAll"}}));
  // A NUL byte ends every update inside its quotes: the ids are printed, nothing changes.
  std::string nul("r\0x", 3);
  EXPECT_EQ(server.send(envelopes::modify_address(std::stoi(a), nul)), a + "\n");
  EXPECT_EQ(server.send(envelopes::modify_address(-1, nul)),
            "-1\n" + a + "\n" + b + "\n" + c + "\n");
  EXPECT_EQ(addresses(), (Rows{{a, "rAll"}, {b, "rAll"}, {c, "rAll"}}));
  // Only the rewrite of every entry looks at the origin address.
  EXPECT_EQ(server.send(envelopes::modify_address(std::stoi(a), "rOne", "r(")),
            address_modified(a, "rAll", "rOne"));
}

TEST_F(AddressBook, ModifyRefusesABookOverTheLimit) {
  for (int i = 0; i < 10; ++i) add("r" + std::to_string(i));
  std::string first = addresses()[0][0];
  EXPECT_EQ(server.send(envelopes::modify_address(std::stoi(first), "rTen")),
            address_modified(first, "r0", "rTen"));
  // More entries than an add admits can only come from elsewhere; the rewrite refuses them all.
  db.exec("INSERT INTO kv_addressbook VALUES(NULL, " + acc + ", 'XRP', 'rEleven', '1', 1);");
  EXPECT_EQ(server.send(envelopes::modify_address(std::stoi(first), "rMore")), "");
  EXPECT_EQ(server.send(envelopes::modify_address(-1, "rMore")), "");
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_addressbook WHERE address='rMore'"), "0");
}

}  // namespace
