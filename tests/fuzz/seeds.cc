// Writes the seed corpora of the fuzz targets from real request envelopes:
//
//   korvane_fuzz_seeds DIR
//
// fills DIR/dispatch, DIR/filter, DIR/decimal and DIR/sha256 (the committed copy lives in
// tests/fuzz/corpus). Each dispatch seed is a session in the target's input layout (see
// dispatch_fuzzer.cc), mostly along the road a real client takes, some with the database bent.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server/dispatch.h"
#include "support/envelopes.h"

namespace {

namespace e = envelopes;

constexpr uint8_t kSignedOut = 0, kSignedIn = 1, kSignInUsed = 2, kNoSession = 4;

struct Session {
  uint8_t setup = kSignedOut;
  std::string script;
  std::vector<std::string> requests;
};

std::string bytes(const korvane::KorvaneInterface& envelope) { return e::bytes_of(envelope); }

std::string layout(const Session& s) {
  std::string out(1, static_cast<char>(s.setup));
  out.push_back(static_cast<char>(s.script.size()));
  out += s.script;
  for (const std::string& r : s.requests) {
    out.push_back(static_cast<char>(r.size() & 0xff));
    out.push_back(static_cast<char>(r.size() >> 8));
    out += r;
  }
  return out;
}

void write_file(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    return;
  }
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

// A buy without its amount: it does not decode, but what does decode may ask for its outcome.
korvane::KorvaneInterface incomplete_buy() {
  korvane::KorvaneInterface envelope = e::event(event::kBuy);
  envelope.mutable_event_buy()->set_symbol(2);
  return envelope;
}

void dispatch_seeds(const std::string& dir) {
  const std::string name = "fuzz", pw = "pw";
  auto session = [&](const std::string& file, Session s) {
    write_file(dir + "/" + file, layout(s));
  };

  session("full_session",
          {kSignedOut,
           "",
           {bytes(e::signup(name, pw)), bytes(e::signin(name, pw)), bytes(e::my_info()),
            bytes(e::buy(0, 2, 1000)), bytes(e::sell(0, 2, 1000)), bytes(e::history(0, 1)),
            bytes(e::add_address(2, "rAddr", "12", 5)), bytes(e::modify_address(3, "rNew")),
            bytes(e::modify_address(-1, "rAll", "rA")), bytes(e::deposit(1, "addr")),
            bytes(e::delete_address(1, "addr")), bytes(e::signout()), bytes(e::my_info())}});
  session("orders", {kSignedIn,
                     "",
                     {bytes(e::buy(1, 3)), bytes(e::buy((int64_t{1} << 32) + 3, 1, 7)),
                      bytes(e::sell(2, 1, 7)), bytes(e::buy(0, uint64_t{1} << 63, 2)),
                      bytes(e::buy(4, 1)), bytes(e::sell(3, 0))}});
  session("orders_bent",
          {kSignedIn,
           std::string("\x00\x00\x01\x00\x00\x04\x00\x08\x78", 9),
           {bytes(e::buy(0, 2, 1)), bytes(e::sell(0, 1, 2)), bytes(e::buy(1, 1, 3))}});
  session("history_bent",
          {kSignedIn,
           std::string("\x00\x09\x00\x06\x00\x7a\x00\xa8", 8),
           {bytes(e::history(0, 1, 9)), bytes(e::history(3, 0)), bytes(e::history(1, 5))}});
  session("address_book",
          {kSignedIn,
           "",
           {bytes(e::add_address(0, "rA", "1")),
            bytes(e::add_address(1, std::string(255, 'a'), "+7", 1)),
            bytes(e::add_address(1, std::string(256, 'a'), "7")),
            bytes(e::add_address(1, std::string("r\0x", 3), std::string("1\0", 2))),
            bytes(e::add_address(1, "a;b'c", "1")), bytes(e::modify_address(0, "rZero")),
            bytes(e::modify_address(-1, "r(x", "rA")),
            bytes(e::modify_address(4, std::string("\x80\xff", 2)))}});
  session("signin_guard",
          {kSignedOut,
           std::string("\x00\x0a\x30", 3),
           {bytes(e::signin(name, "wrong")), bytes(e::signin(name, pw)), bytes(e::buy(0, 1, 1))}});
  session("signup_duplicate", {kSignedOut,
                               std::string("\x00\x02", 2),
                               {bytes(e::signup(name, pw)), bytes(e::signup(name, ""))}});
  session("signup_long_name", {kSignedOut, "", {bytes(e::signup(std::string(33, 'n'), pw))}});
  session("signup_filtered_name", {kSignedOut, "", {bytes(e::signup("a$b", pw))}});
  session("after_signout", {kNoSession,
                            "",
                            {bytes(e::signin(name, pw)), bytes(e::my_info()),
                             bytes(e::signup(name, pw)), bytes(e::signout())}});
  session("signin_used",
          {kSignedIn | kSignInUsed, "", {bytes(e::signin(name, pw)), bytes(e::deposit(0, "x"))}});
  session("views", {kSignedOut,
                    "",
                    {bytes(e::view_market()), bytes(e::view_balance()), bytes(e::signin(name, pw)),
                     bytes(e::view_balance()), bytes(e::view_market()), bytes(e::signout()),
                     bytes(e::view_market()), bytes(e::view_balance())}});
  session("views_bent",
          {kSignedIn,
           std::string("\x05\x06\x27\x08\x09\x01\x04", 7),
           {bytes(e::view_market()), bytes(e::view_balance()), bytes(e::view_market()),
            bytes(e::view_balance()), bytes(e::view_market()), bytes(e::view_balance()),
            bytes(e::view_market())}});
  session("codes", {kSignedIn,
                    "",
                    {bytes(e::event(0x10000004)), bytes(e::event(0x20000007)), bytes(e::event(-1)),
                     bytes(e::event(0x7f000000)), std::string("\xff\xff\xff", 3)}});
  // Every kind of request asking for its outcome line, done and refused, and the address list.
  auto asking = [](korvane::KorvaneInterface envelope) {
    envelope.set_ask_outcome(true);
    return e::bytes_of(envelope);
  };
  session("outcome_lines",
          {kSignedOut,
           std::string("\x00\x00\x00\x00\x00\x00\x03\x00\x01", 9),
           {asking(e::signup(name, pw)), asking(e::buy(0, 1, 1)), asking(e::signin(name, pw)),
            asking(e::buy(0, 2, 1000)), asking(e::sell(0, 2, 1000)),
            asking(e::add_address(2, "rA", "0")), asking(e::add_address(2, "r'A", "1")),
            asking(e::add_address(2, "rA", "1")), asking(e::event(event::kListAddresses)),
            asking(e::modify_address(3, "rNew")), asking(e::modify_address(-1, "rAll", "rA")),
            asking(e::event(0x20000099)), asking(e::event(event::kBuy)), asking(incomplete_buy()),
            asking(e::signout()), asking(e::signup(std::string(33, 'n'), pw))}});
  // Two envelopes in one read merge; a sign-in that carries an incomplete Buy does not decode.
  auto incomplete = e::signin(name, pw);
  incomplete.mutable_event_buy()->set_symbol(0);
  session("merged_and_incomplete",
          {kSignedOut,
           "",
           {bytes(e::event(event::kDeposit)) + bytes(e::event(event::kMyInfo)),
            e::bytes_of(incomplete)}});
}

void filter_seeds(const std::string& dir) {
  const std::vector<std::string> texts = {"abc_DEF.123",
                                          "a;b'c",
                                          "#-;()$ \"'",
                                          "trailing\\",
                                          std::string("ok\0'", 4),
                                          "\x80\xff\xc3\xa9",
                                          "r 1",
                                          ""};
  for (size_t i = 0; i < texts.size(); ++i) write_file(dir + "/text" + std::to_string(i), texts[i]);
}

void decimal_seeds(const std::string& dir) {
  const std::vector<std::string> texts = {"  42abc",
                                          "-17",
                                          "+7",
                                          "abc",
                                          "2026-12-07 10:00:00",
                                          "99999999999",
                                          "-9223372036854775808",
                                          "99999999999999999999",
                                          "\t\n 5"};
  for (size_t i = 0; i < texts.size(); ++i) write_file(dir + "/text" + std::to_string(i), texts[i]);
}

void sha256_seeds(const std::string& dir) {
  // The lengths at which the padding needs one or two final blocks, fed whole and in pieces.
  for (size_t length : {0, 55, 56, 63, 64, 119, 120, 200}) {
    std::string message(length, 'a');
    for (size_t i = 0; i < length; ++i) message[i] = static_cast<char>('a' + i % 26);
    write_file(dir + "/whole" + std::to_string(length), std::string(1, '\0') + message);
    write_file(dir + "/cut" + std::to_string(length), std::string("\x03\x01\x3f\x40", 4) + message);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  for (const char* target : {"dispatch", "filter", "decimal", "sha256"}) {
    mkdir((root + "/" + target).c_str(), 0755);
  }
  dispatch_seeds(root + "/dispatch");
  filter_seeds(root + "/filter");
  decimal_seeds(root + "/decimal");
  sha256_seeds(root + "/sha256");
  return 0;
}
