// Client text that tries to hurt, in every text field of every request: each filtered character,
// NUL bytes at the start, in the middle and at the end, the longest text allowed and one byte
// more, bytes above 0x7F, and requests of exactly the read size and one byte over it. Each gets
// the answer its operation specifies, and nothing else is stored.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "account/sha256.h"
#include "support/answers.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

constexpr int kXrp = 2;
constexpr size_t kReadSize = 10240;
const std::string kFiltered("'\" $)(;-#\\");
const std::string kHighBytes("\x80\xc3\xa9\xfe\xff", 5);
const std::string kParseError = "Error parse_handler();\n";

// A text given as a literal, NUL bytes included.
template <size_t N>
std::string nul(const char (&text)[N]) {
  return std::string(text, N - 1);
}
// The same three letters with a NUL byte at the start, in the middle and at the end.
const std::vector<std::string> kNulTexts = {nul("\0ab"), nul("a\0b"), nul("ab\0")};

std::string filter_line(char c) { return "Detected SQL Injection: " + std::string(1, c) + "\n"; }

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0f];
  }
  return out;
}

std::string printable(const std::string& bytes) { return "0x" + hex(bytes); }

// Every row of every table, as checksums: what a refused request must leave as it found it.
Rows everything(TestDb& db) {
  return db.rows(
      "CHECKSUM TABLE kv_account, kv_uservault, kv_coininfo, kv_tradehistory, kv_addressbook");
}

std::unique_ptr<ServerProcess> fresh_server() {
  auto server = std::make_unique<ServerProcess>();
  EXPECT_EQ(server->read_until_prompt(), "");
  return server;
}

// A name of exactly `size` bytes, unique to this test run, with `tail` at its end.
std::string sized_name(size_t size, const std::string& tail = "") {
  std::string name = unique_name("h") + tail;
  if (name.size() > size) name = name.substr(name.size() - size);
  return std::string(size - name.size(), 'n') + name;
}

TEST(HostileSignUp, AFilteredCharacterInTheNameEndsTheProcessAndStoresNothing) {
  TestDb db;
  const Rows before = everything(db);
  for (char c : kFiltered) {
    SCOPED_TRACE(std::string("character ") + c);
    auto server = fresh_server();
    server->write_raw(
        envelopes::bytes_of(envelopes::signup(sized_name(20, std::string(1, c)), "pw")));
    EXPECT_EQ(server->read_to_end(), filter_line(c));
    EXPECT_EQ(server->wait_exit(), 255);
  }
  EXPECT_EQ(everything(db), before);
}

TEST(HostileSignUp, NulBytesInTheNameCutTheStatementSoNothingIsStored) {
  TestDb db;
  const Rows before = everything(db);
  auto server = fresh_server();
  for (const std::string& name : kNulTexts) {
    SCOPED_TRACE(printable(name));
    EXPECT_EQ(server->send(envelopes::signup(name, "pw")), "");
  }
  EXPECT_EQ(everything(db), before);
}

TEST(HostileSignUp, NamesAreStoredAsTheirBytesUpTo32AndEndTheProcessAt33) {
  TestDb db;
  auto server = fresh_server();
  const std::string name = sized_name(32, kHighBytes);
  const std::string answer = server->send(envelopes::signup(name, "pw"));
  const std::string id =
      db.value("SELECT acc_id FROM kv_account WHERE HEX(username)='" + hex(name) + "'");
  ASSERT_NE(id, "");
  EXPECT_EQ(answer, answers::signup(name, std::stol(id)));

  const Rows before = everything(db);
  server->write_raw(envelopes::bytes_of(envelopes::signup(sized_name(33, kHighBytes), "pw")));
  EXPECT_EQ(server->read_to_end(), "");
  EXPECT_EQ(server->wait_exit(), 255);
  EXPECT_EQ(everything(db), before);
}

// Passwords never reach a statement, only their digest: any bytes go, and sign in again.
TEST(HostileSignUp, PasswordsOfAnyBytesAreStoredAsTheirDigest) {
  TestDb db;
  std::vector<std::string> passwords = kNulTexts;
  for (char c : kFiltered) passwords.push_back(std::string("p") + c + "w");
  passwords.push_back(kHighBytes);
  passwords.push_back(std::string(kReadSize - 100, 'p'));
  auto server = fresh_server();
  for (const std::string& password : passwords) {
    SCOPED_TRACE(printable(password.substr(0, 8)));
    const std::string name = sized_name(24);
    EXPECT_NE(server->send(envelopes::signup(name, password)), "");
    EXPECT_EQ(db.value("SELECT password FROM kv_account WHERE username='" + name + "'"),
              encryptSha256(password));
    auto again = fresh_server();
    EXPECT_EQ(again->send(envelopes::signin(name, password)), "");
    EXPECT_NE(again->send(envelopes::my_info()), "");
  }
}

TEST(HostileSignIn, EveryHostileNameIsRefusedAsItsCheckSays) {
  TestDb db;
  const Rows before = everything(db);
  auto refused = [](const std::string& name, const std::string& answer) {
    auto server = fresh_server();
    EXPECT_EQ(server->send(envelopes::signin(name, "pw")), answer) << printable(name);
    EXPECT_EQ(server->send(envelopes::my_info()), "") << printable(name);  // still signed out
  };
  for (char c : kFiltered) refused(std::string("a") + c + "b", filter_line(c));
  // A NUL byte ends the statement inside its quotes: it fails, which reads as no such account.
  for (const std::string& name : kNulTexts) refused(name, "There is no username, password\n");
  refused(std::string(33, 'n'), "");
  refused("", "");
  EXPECT_EQ(everything(db), before);

  // High bytes are a name like any other.
  const std::string name = sized_name(32, kHighBytes);
  fresh_server()->send(envelopes::signup(name, std::string("pw\xff", 3)));
  auto server = fresh_server();
  EXPECT_EQ(server->send(envelopes::signin(name, std::string("pw\xff", 3))), "");
  const std::string id =
      db.value("SELECT acc_id FROM kv_account WHERE HEX(username)='" + hex(name) + "'");
  EXPECT_EQ(server->send(envelopes::my_info()), answers::my_info(id, name, 100000000));
}

// A signed-in session with an address book.
class HostileAddressBook : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = unique_name("hostile");
    server = signed_in_server(db, name);
    acc = std::to_string(db.account_id(name));
    ASSERT_EQ(server->send(envelopes::add_address(kXrp, "rFirst", "1", 1)), added("rFirst", "1"));
    first = db.value("SELECT id FROM kv_addressbook WHERE acc_id=" + acc);
  }

  static std::string added(const std::string& address, const std::string& memo) {
    return answers::address_added("XRP", address, memo);
  }

  // The account's entries as hex, so that any byte compares exactly.
  Rows book() {
    return db.rows("SELECT HEX(address), HEX(memo) FROM kv_addressbook WHERE acc_id=" + acc +
                   " ORDER BY id");
  }

  TestDb db;
  std::unique_ptr<ServerProcess> server;
  std::string acc, first;
};

TEST_F(HostileAddressBook, AddRefusesEveryFilteredCharacterInAddressAndMemo) {
  const Rows before = everything(db);
  for (char c : kFiltered) {
    SCOPED_TRACE(std::string("character ") + c);
    EXPECT_EQ(server->send(envelopes::add_address(kXrp, std::string("r") + c + "x", "1")),
              filter_line(c));
    EXPECT_EQ(server->send(envelopes::add_address(kXrp, "rClean", std::string("1") + c + "x")),
              filter_line(c));
  }
  EXPECT_EQ(everything(db), before);
}

// A NUL byte ends the insert inside its quotes, so it fails: the add shows nothing, not even its
// echo of the entry.
TEST_F(HostileAddressBook, AddWithNulBytesShowsAndStoresNothing) {
  const Rows before = everything(db);
  for (const std::string& address : kNulTexts) {
    SCOPED_TRACE(printable(address));
    EXPECT_EQ(server->send(envelopes::add_address(kXrp, address, "1")), "");
  }
  // A memo must begin with a number: one that begins with NUL has none.
  EXPECT_EQ(server->send(envelopes::add_address(kXrp, "rClean", nul("\0001"))), "");
  for (const std::string& memo : {nul("1\0x"), nul("12\0")}) {
    EXPECT_EQ(server->send(envelopes::add_address(kXrp, "rClean", memo)), "");
  }
  EXPECT_EQ(everything(db), before);
}

TEST_F(HostileAddressBook, AddStoresHighBytesAndLongTextsWhole) {
  const std::string address = std::string(250, 'r') + kHighBytes;  // 255 bytes, the most
  const std::string memo = "7" + kHighBytes + std::string(9000, 'm');
  EXPECT_EQ(server->send(envelopes::add_address(kXrp, address, memo, 5)), added(address, memo));
  EXPECT_EQ(book().back(), (std::vector<std::string>{hex(address), hex(memo)}));

  const Rows before = everything(db);
  EXPECT_EQ(server->send(envelopes::add_address(kXrp, address + "r", "1")), "");
  EXPECT_EQ(everything(db), before);
}

TEST_F(HostileAddressBook, RewriteRefusesFilteredNewAndOriginAddressesAndIgnoresTheMemo) {
  const Rows before = everything(db);
  for (char c : kFiltered) {
    SCOPED_TRACE(std::string("character ") + c);
    const std::string bad = std::string("r") + c + "x";
    EXPECT_EQ(server->send(envelopes::modify_address(std::stoi(first), bad)),
              first + "\n" + filter_line(c));
    // Id -1: the single rewrite finds no entry -1; the rewrite of all screens the origin first.
    EXPECT_EQ(server->send(envelopes::modify_address(-1, "rClean", bad)), "-1\n" + filter_line(c));
  }
  EXPECT_EQ(everything(db), before);

  // The memo reaches no statement: a filtered one changes nothing.
  auto request = envelopes::modify_address(std::stoi(first), "rSecond");
  request.mutable_event_modify_addressbook()->set_memo(kFiltered + nul("a\0b"));
  EXPECT_EQ(server->send(request), answers::address_modified(first, "rFirst", "rSecond"));
}

TEST_F(HostileAddressBook, RewriteWithNulBytesWritesNothing) {
  const Rows before = everything(db);
  for (const std::string& address : kNulTexts) {
    SCOPED_TRACE(printable(address));
    EXPECT_EQ(server->send(envelopes::modify_address(std::stoi(first), address)), first + "\n");
    EXPECT_EQ(server->send(envelopes::modify_address(-1, address)), "-1\n" + first + "\n");
    // A NUL byte in the origin address cuts the origin count, which stops the rewrite of all.
    EXPECT_EQ(server->send(envelopes::modify_address(-1, "rClean", address)), "-1\n");
  }
  EXPECT_EQ(everything(db), before);
}

TEST_F(HostileAddressBook, RewriteStoresHighBytesAndHasNoLengthLimit) {
  const std::string address = kHighBytes + std::string(9000, 'z');
  EXPECT_EQ(server->send(envelopes::modify_address(std::stoi(first), address)),
            answers::address_modified(first, "rFirst", address));
  EXPECT_EQ(book(), (Rows{{hex(address), hex("1")}}));
  // High bytes pass the filter in the origin address too.
  EXPECT_EQ(server->send(envelopes::modify_address(-1, "rAll", kHighBytes)), "-1\n" + first + "\n");
  EXPECT_EQ(book(), (Rows{{hex("rAll"), hex("1")}}));
}

TEST_F(HostileAddressBook, StubEventsAnswerTheSameWhateverTheirText) {
  const Rows before = everything(db);
  std::vector<std::string> texts = kNulTexts;
  texts.push_back(kFiltered);
  texts.push_back(kHighBytes);
  for (const std::string& text : texts) {
    EXPECT_EQ(server->send(envelopes::deposit(kXrp, text)), "Hello handle_sell\n");
    EXPECT_EQ(server->send(envelopes::delete_address(kXrp, text)), "TODO\n");
  }
  EXPECT_EQ(everything(db), before);
}

// A rewrite envelope of exactly `size` bytes, its new address padded to fit.
std::string rewrite_of_size(int id, size_t size) {
  std::string bytes;
  for (size_t pad = size - 16; bytes.size() != size; pad += size - bytes.size()) {
    bytes = envelopes::bytes_of(envelopes::modify_address(id, std::string(pad, 'w')));
  }
  return bytes;
}

TEST_F(HostileAddressBook, ARequestOfExactlyTheReadSizeIsReadWhole) {
  const std::string request = rewrite_of_size(std::stoi(first), kReadSize);
  ASSERT_EQ(request.size(), kReadSize);
  korvane::KorvaneInterface envelope;
  ASSERT_TRUE(envelope.ParseFromString(request));
  const std::string& address = envelope.event_modify_addressbook().new_addr();
  EXPECT_EQ(server->send(request), answers::address_modified(first, "rFirst", address));
  EXPECT_EQ(book(), (Rows{{hex(address), hex("1")}}));
}

TEST_F(HostileAddressBook, ARequestOneByteOverTheReadSizeIsReadAsTwo) {
  const Rows before = everything(db);
  const std::string request = rewrite_of_size(std::stoi(first), kReadSize + 1);
  ASSERT_EQ(request.size(), kReadSize + 1);
  // One write; the server reads the first 10240 bytes (a cut envelope), then the last byte.
  server->write_raw(request);
  std::string answers = server->read_until_prompt();
  if (answers == kParseError) answers += "> " + server->read_until_prompt();  // came apart
  EXPECT_EQ(answers, kParseError + "> " + kParseError);
  EXPECT_EQ(everything(db), before);
  EXPECT_EQ(server->send(envelopes::deposit(kXrp, "a")), "Hello handle_sell\n");
}

}  // namespace
