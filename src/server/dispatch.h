// Event dispatch: one request's bytes become one call of one operation.
#ifndef KORVANE_SERVER_DISPATCH_H_
#define KORVANE_SERVER_DISPATCH_H_

#include <cstdint>

#include "base/reasons.h"
#include "korvane.pb.h"

// Event codes. The top byte (arithmetic shift right by 24) is the group.
namespace event {
constexpr int32_t kUserGroup = 0x10;
constexpr int32_t kExchangeGroup = 0x20;

constexpr int32_t kSignUp = 0x10000000;
constexpr int32_t kSignIn = 0x10000001;
constexpr int32_t kSignOut = 0x10000002;
constexpr int32_t kMyInfo = 0x10000003;
constexpr int32_t kBuy = 0x20000000;
constexpr int32_t kSell = 0x20000001;
constexpr int32_t kViewHistory = 0x20000002;
constexpr int32_t kAddAddress = 0x20000003;
constexpr int32_t kModifyAddress = 0x20000004;
constexpr int32_t kDeleteAddress = 0x20000005;
constexpr int32_t kDeposit = 0x20000006;

// The views came later than the codes above. Each sits at offset 0x100 of its group, so the first
// codes can grow one by one without meeting them, and every code in between stays unknown (and
// silent). The group decides who may ask: the market is public, as on an exchange's front page,
// so it is in the user group, which is dispatched with or without a session; balances belong to
// an account, so they are in the exchange group, which a signed-out session cannot reach.
constexpr int32_t kViewMarket = 0x10000100;
constexpr int32_t kViewBalance = 0x20000100;
// The address list came later still: the next code of the exchange group.
constexpr int32_t kListAddresses = 0x20000007;
}  // namespace event

// The names the outcome line gives a request whose code no row knows, and bytes that do not
// decode.
constexpr char kUnknownEventName[] = "unknown";
constexpr char kMalformedName[] = "malformed";

// One request as dispatch ran it.
struct Dispatched {
  Outcome outcome;
  const char* event;  // its name: the route table's, kUnknownEventName or kMalformedName
  bool asked;         // the envelope asked for the outcome line (ask_outcome)
};

// Decodes `length` bytes of `data` as one envelope and routes it. Prints
// "Error parse_handler();" when the bytes do not decode. REQUIRES: 0 <= length.
Dispatched parse_handler(const char* data, int32_t length);

// The number of the envelope's field that holds the nested message `code` requires: 0 when the
// code requires none or is no event. Read from the table that routes requests, so that cutting a
// read into envelopes (server/envelopes.h) knows each event as dispatch does.
int required_request_field(int32_t code);

// The name of event `code`, as the outcome line gives it (kUnknownEventName for none).
const char* event_name(int32_t code);

// The two group dispatchers. Each refuses with kMalformed when the nested message the code
// requires is absent, and with kUnknownEvent for a code of no row. exchange_handler assumes a
// signed-in session.
Outcome user_handler(const korvane::KorvaneInterface& envelope);
Outcome exchange_handler(const korvane::KorvaneInterface& envelope);

#endif  // KORVANE_SERVER_DISPATCH_H_
