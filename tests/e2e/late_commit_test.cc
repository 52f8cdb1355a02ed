// Commits whose answer is lost while the database has not settled them yet: the old connection's
// last batch reaches the database only after the server has reconnected and asked whether it was
// applied, or another session of the account sends the same order while the server reconnects.
// Whatever the timing, each client's answer matches what the database holds afterwards.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/answers.h"
#include "support/db_watch.h"
#include "support/envelopes.h"
#include "support/fault_proxy.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

using Cut = FaultProxy::Cut;
using Rows = std::vector<std::vector<std::string>>;

constexpr int kXRP = 2;
constexpr long kPrice = 100, kStock = 50;
constexpr uint64_t kAt = 1700000000;
constexpr char kBotLine[] = "[-] DETECTED Trading Bot\n";
constexpr int32_t kEveryAddressBookEntry = -1;

class LateCommit : public ::testing::Test {
 protected:
  TestDb db;
  TestDb root{TestDb::kRoot};
  FaultProxy proxy;
};

// What a request needs from its session: the account (empty for a sign-up, which starts signed
// out), the entry it rewrites (every entry: their ids, one a line), and the new account's id
// once there is one.
struct Session {
  TestDb& db;
  std::string name;
  std::string acc;
  std::string entry;
};

// A request whose last batch (the one holding `delayed`) reaches the database only once the
// server's proof waits for it.
struct DelayedCase {
  const char* name;
  bool signed_in;
  const char* delayed;
  void (*prepare)(ServerProcess&, Session&);
  korvane::KorvaneInterface (*request)(const Session&);
  std::string (*answer)(const Session&);
  // A LIKE pattern of the proof's statement that waits for the old transaction.
  std::string (*proof)(const Session&);
  // What the database holds of the request, and what it must hold.
  Rows (*stored)(Session&);
  Rows (*expected)(const Session&);
};

// The proof of a rewrite: its attempt row, read with a lock.
std::string attempt_proof(const Session& s) {
  return "%kv_attempt WHERE id=% AND acc_id=" + s.acc + " FOR UPDATE";
}

const DelayedCase kDelayedCases[] = {
    {"SignUp", false, "INSERT INTO kv_uservault", [](ServerProcess&, Session&) {},
     [](const Session& s) { return envelopes::signup(s.name, "pw"); },
     [](const Session& s) { return answers::signup(s.name, s.db.account_id(s.name)); },
     [](const Session&) { return std::string("%FROM kv_account WHERE acc_id=% FOR UPDATE%"); },
     [](Session& s) {
       return s.db.rows(
           "SELECT v.KRW_amount FROM kv_uservault v JOIN kv_account a "
           "ON a.acc_id=v.acc_id WHERE a.username='" +
           s.name + "'");
     },
     [](const Session&) { return Rows{{"100000000"}}; }},
    {"Order", true, "UPDATE kv_coininfo",
     [](ServerProcess&, Session& s) { s.db.set_market("XRP", kPrice, kStock); },
     [](const Session&) { return envelopes::buy(kXRP, 2, kAt); },
     [](const Session& s) { return answers::order("XRP", kPrice, kStock, 2, true, 250, s.acc); },
     [](const Session& s) {
       return "%kv_tradehistory WHERE id=% AND acc_id=" + s.acc + " FOR UPDATE";
     },
     [](Session& s) {
       return s.db.rows(
           "SELECT COUNT(*), MIN(v.XRP_amount) FROM kv_tradehistory t JOIN "
           "kv_uservault v ON v.acc_id=t.acc_id WHERE t.acc_id=" +
           s.acc);
     },
     [](const Session&) {
       return Rows{{"1", "2"}};
     }},
    {"AddressRewrite", true, "UPDATE kv_addressbook",
     [](ServerProcess& server, Session& s) {
       ASSERT_EQ(server.send(envelopes::add_address(kXRP, "rOld", "1", 1)),
                 answers::address_added("XRP", "rOld", "1"));
       s.entry = s.db.value("SELECT MAX(id) FROM kv_addressbook WHERE acc_id=" + s.acc);
     },
     [](const Session& s) { return envelopes::modify_address(std::stoi(s.entry), "rNew"); },
     [](const Session& s) { return answers::address_modified(s.entry, "rOld", "rNew"); },
     [](const Session& s) { return attempt_proof(s); },
     [](Session& s) {
       return s.db.rows("SELECT id, address FROM kv_addressbook WHERE acc_id=" + s.acc);
     },
     [](const Session& s) {
       return Rows{{s.entry, "rNew"}};
     }},
    {"EveryAddressRewrite", true, "UPDATE kv_addressbook",
     [](ServerProcess& server, Session& s) {
       for (const char* address : {"rOld", "rOther"}) {
         ASSERT_EQ(server.send(envelopes::add_address(kXRP, address, "1", 1)),
                   answers::address_added("XRP", address, "1"));
       }
       for (const auto& row :
            s.db.rows("SELECT id FROM kv_addressbook WHERE acc_id=" + s.acc + " ORDER BY id")) {
         s.entry += row[0] + "\n";
       }
     },
     [](const Session&) {
       return envelopes::modify_address(kEveryAddressBookEntry, "rNew", "rOld");
     },
     [](const Session& s) { return "-1\n" + s.entry; },
     [](const Session& s) { return attempt_proof(s); },
     [](Session& s) {
       return s.db.rows("SELECT address FROM kv_addressbook WHERE acc_id=" + s.acc);
     },
     [](const Session&) {
       return Rows{{"rNew"}, {"rNew"}};
     }},
    {"AddressAdd", true, "COMMIT", [](ServerProcess&, Session&) {},
     [](const Session&) { return envelopes::add_address(kXRP, "rLate", "1", 1); },
     [](const Session&) { return answers::address_added("XRP", "rLate", "1"); },
     [](const Session& s) {
       return "%kv_addressbook WHERE id=% AND acc_id=" + s.acc + " FOR UPDATE%";
     },
     [](Session& s) {
       return s.db.rows("SELECT address FROM kv_addressbook WHERE acc_id=" + s.acc);
     },
     [](const Session&) { return Rows{{"rLate"}}; }},
};

// Names the case in the parameters gtest prints.
void PrintTo(const DelayedCase& c, std::ostream* out) { *out << c.name; }

class DelayedBatch : public LateCommit, public ::testing::WithParamInterface<DelayedCase> {};

TEST_P(DelayedBatch, LandsAfterTheProofAndTheAnswerMatchesTheDatabase) {
  const DelayedCase& c = GetParam();
  Session s{db, unique_name("late"), "", ""};
  std::unique_ptr<ServerProcess> server = greeted_server(proxy.env());
  if (c.signed_in) s.acc = sign_up_and_in(*server, db, s.name);
  c.prepare(*server, s);
  ASSERT_FALSE(HasFatalFailure());

  proxy.arm_at(c.delayed, Cut::kDelayed);
  server->write_raw(envelopes::bytes_of(c.request(s)));
  ASSERT_TRUE(proxy.wait_until_holding());
  // The server has reconnected and its proof waits behind the old transaction, still alive.
  ASSERT_TRUE(wait_for_lock_wait_in(root, c.proof(s)));
  proxy.release();
  const std::string answer = server->read_until_prompt();
  EXPECT_TRUE(proxy.fired());
  EXPECT_EQ(answer, c.answer(s));
  EXPECT_EQ(c.stored(s), c.expected(s));
}

INSTANTIATE_TEST_SUITE_P(LateCommit, DelayedBatch, ::testing::ValuesIn(kDelayedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// One session's order loses its write batch (dropped before the database, or run with its answer
// lost) and its reconnect waits while another session of the account sends the same order.
struct RaceCase {
  const char* name;
  Cut how;
  bool first_may_trade;  // the first session's commit may have been applied
};

const RaceCase kRaceCases[] = {
    {"DroppedWrites", Cut::kBeforeSending, false},
    {"LostCommitAnswer", Cut::kAfterReply, true},
};

void PrintTo(const RaceCase& c, std::ostream* out) { *out << c.name; }

class IdenticalOrder : public LateCommit, public ::testing::WithParamInterface<RaceCase> {};

TEST_P(IdenticalOrder, OneSessionTradesAndTheOtherIsRefused) {
  const RaceCase& c = GetParam();
  const std::string name = unique_name("twin");
  auto first = signed_in_server(db, name, proxy.env());
  auto second = signed_in_server(db, name);
  const std::string acc = std::to_string(db.account_id(name));
  db.set_market("XRP", kPrice, kStock);
  const std::string trade = answers::order("XRP", kPrice, kStock, 2, true, 250, acc);
  const korvane::KorvaneInterface order = envelopes::buy(kXRP, 2, kAt);

  proxy.hold_next_connection();
  proxy.arm_at("UPDATE kv_coininfo", c.how);
  first->write_raw(envelopes::bytes_of(order));
  ASSERT_TRUE(proxy.wait_until_holding());
  const std::string second_answer = second->send(order);
  proxy.release();
  const std::string first_answer = first->read_until_prompt();

  EXPECT_TRUE(proxy.fired());
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc), "1");
  const bool first_traded = second_answer == kBotLine;
  if (!c.first_may_trade) {
    EXPECT_FALSE(first_traded);
  }
  EXPECT_EQ(first_answer, first_traded ? trade : std::string(kBotLine));
  if (!first_traded) {
    EXPECT_EQ(second_answer, trade);
  }
}

INSTANTIATE_TEST_SUITE_P(LateCommit, IdenticalOrder, ::testing::ValuesIn(kRaceCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A rewrite's commit is applied but its answer lost, and while its session reconnects another
// session of the account rewrites the same entry again. The first rewrite must be answered as
// applied (it was, before the second), not run again over the second.
struct RewriteRaceCase {
  const char* name;
  int32_t first_id;  // 0: the entry's own id
  std::string (*first_answer)(const std::string& ids);
};

const RewriteRaceCase kRewriteRaceCases[] = {
    {"OneEntry", 0,
     [](const std::string& ids) {
       return answers::address_modified(ids.substr(0, ids.find('\n')), "rOld", "rN");
     }},
    {"EveryEntry", kEveryAddressBookEntry, [](const std::string& ids) { return "-1\n" + ids; }},
};

void PrintTo(const RewriteRaceCase& c, std::ostream* out) { *out << c.name; }

class RewriteRace : public LateCommit, public ::testing::WithParamInterface<RewriteRaceCase> {};

TEST_P(RewriteRace, ALaterRewriteOfAnotherSessionStands) {
  const RewriteRaceCase& c = GetParam();
  const std::string name = unique_name("rerw");
  auto first = signed_in_server(db, name, proxy.env());
  auto second = signed_in_server(db, name);
  const std::string acc = std::to_string(db.account_id(name));
  for (const char* address : {"rOld", "rOther"}) {
    ASSERT_EQ(first->send(envelopes::add_address(kXRP, address, "1", 1)),
              answers::address_added("XRP", address, "1"));
  }
  std::string ids;
  for (const auto& row :
       db.rows("SELECT id FROM kv_addressbook WHERE acc_id=" + acc + " ORDER BY id")) {
    ids += row[0] + "\n";
  }
  const std::string entry = ids.substr(0, ids.find('\n'));
  const int32_t first_id = c.first_id != 0 ? c.first_id : std::stoi(entry);

  proxy.hold_next_connection();
  proxy.answer_at("UPDATE kv_addressbook",
                  {1927, "70100", "Connection was killed", true, /*after_running=*/true});
  first->write_raw(envelopes::bytes_of(envelopes::modify_address(first_id, "rN", "rOld")));
  ASSERT_TRUE(proxy.wait_until_holding());
  EXPECT_EQ(second->send(envelopes::modify_address(std::stoi(entry), "rM")),
            answers::address_modified(entry, "rN", "rM"));
  proxy.release();
  EXPECT_EQ(first->read_until_prompt(), c.first_answer(ids));
  EXPECT_EQ(db.value("SELECT address FROM kv_addressbook WHERE id=" + entry), "rM");
}

INSTANTIATE_TEST_SUITE_P(LateCommit, RewriteRace, ::testing::ValuesIn(kRewriteRaceCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
