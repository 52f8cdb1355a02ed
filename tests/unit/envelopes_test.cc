// A read cut into the envelopes it holds.
#include "server/envelopes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvane.pb.h"

namespace {

std::string buy(int64_t symbol) {
  korvane::KorvaneInterface e;
  e.set_event_id(0x20000000);
  e.mutable_event_buy()->set_symbol(symbol);
  e.mutable_event_buy()->set_amount(100);
  return e.SerializeAsString();
}

std::string market() {
  korvane::KorvaneInterface e;
  e.set_event_id(0x10000100);
  return e.SerializeAsString();
}

// The same envelope with its event code written after its other fields.
std::string code_last(const std::string& bytes) {
  korvane::KorvaneInterface rest, code;
  rest.ParseFromString(bytes);
  code.set_event_id(rest.event_id());
  rest.clear_event_id();
  return rest.SerializePartialAsString() + code.SerializePartialAsString();
}

// The same envelope asking for its outcome line: the flag written last, after its nested message.
std::string asking(const std::string& bytes) {
  korvane::KorvaneInterface flag;
  flag.set_ask_outcome(true);
  return bytes + flag.SerializePartialAsString();
}

std::vector<std::string> split(const std::string& bytes) {
  std::vector<std::string> out;
  for (std::string_view piece : split_envelopes(bytes)) out.emplace_back(piece);
  return out;
}

TEST(Envelopes, EachWholeEnvelopeOfAReadIsOnePiece) {
  const std::string a = buy(2), b = buy(3), m = market();
  const std::string a_last = code_last(a), b_last = code_last(b);
  const std::string a_ask = asking(a), b_ask = asking(b), m_ask = asking(m);
  std::vector<std::string> hundred;
  for (int i = 0; i < 100; ++i) hundred.push_back(i % 2 ? a : m);
  const std::vector<std::vector<std::string>> reads = {{a},
                                                       {a, b},
                                                       {m, a, b},
                                                       {m, m},
                                                       hundred,
                                                       {a_last},
                                                       {a_last, b_last},
                                                       {a, b_last},
                                                       {a_last, b},
                                                       {m, a_last},
                                                       {a_last, m},
                                                       {m, a_last, m, b, b_last},
                                                       {a_ask, b_ask},
                                                       {m_ask, a_ask, m},
                                                       {asking(a_last), b_ask},
                                                       {a_ask, asking(b_last)}};
  for (const std::vector<std::string>& pieces : reads) {
    std::string bytes;
    for (const std::string& p : pieces) bytes += p;
    EXPECT_EQ(split(bytes), pieces);
    // A full read of whole envelopes is answered at once, nothing kept back.
    EXPECT_EQ(cut_envelope_start(split_envelopes(bytes)), "");
  }
}

TEST(Envelopes, FieldsOutOfOrderAreStillOneEnvelope) {
  // The nested buy (field 5) before the code (field 1): one code, one request.
  const std::string a = buy(2);
  korvane::KorvaneInterface nested;
  nested.mutable_event_buy()->set_symbol(1);
  nested.mutable_event_buy()->set_amount(7);
  std::string bytes =
      nested.SerializePartialAsString() + std::string("\x08\x80\x80\x80\x80\x02", 6);
  EXPECT_EQ(split(bytes), std::vector<std::string>{bytes});
  // The code inside a nested message is not at the top: a buy's symbol is its field 1.
  EXPECT_EQ(split(a), std::vector<std::string>{a});
}

// What is no whole envelope ends the read's last piece; a full read keeps what may be an
// envelope's start, cut off by the end of the read, for the next read.
TEST(Envelopes, BytesThatAreNoWholeEnvelopeStayWithTheLastPiece) {
  const std::string a = buy(2), m = market();
  const std::string junk = "\xff\xff\xff";
  const std::string cut = a.substr(0, a.size() - 1);  // a length that runs past the end
  const std::string a_code = a.substr(0, 6), a_nested = a.substr(6);
  const std::string nested_cut = a_nested.substr(0, 3);
  struct Case {
    std::string bytes;
    std::vector<std::string> pieces;
    std::string kept;  // when the read is full
  } cases[] = {
      {a + junk, {a + junk}, ""},
      {m + a + junk, {m, a + junk}, a + junk},
      {a + cut, {a, cut}, cut},
      {cut, {cut}, ""},
      {junk, {junk}, ""},
      {std::string("\x08", 1), {std::string("\x08", 1)}, ""},
      {a + std::string("\x08", 1), {a, std::string("\x08", 1)}, std::string("\x08", 1)},
      {a + a_code, {a, a_code}, a_code},
      {a + a_nested, {a, a_nested}, a_nested},
      {a_nested + a_nested, {a_nested, a_nested}, ""},
      // The nested message of a market view may be a buy's, its code still to come.
      {a + m + a_nested, {a, m + a_nested}, a_nested},
      {m + a_nested, {m + a_nested}, a_nested},
      {m + nested_cut, {m + nested_cut}, nested_cut},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(split(c.bytes), c.pieces);
    EXPECT_EQ(cut_envelope_start(split_envelopes(c.bytes)), c.kept)
        << testing::PrintToString(c.pieces);
  }
}

}  // namespace
