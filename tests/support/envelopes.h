// Request envelopes as a client sends them.
#ifndef KORVANE_TESTS_SUPPORT_ENVELOPES_H_
#define KORVANE_TESTS_SUPPORT_ENVELOPES_H_

#include <cstdint>
#include <optional>
#include <string>

#include "korvane.pb.h"

namespace envelopes {

korvane::KorvaneInterface event(int32_t code);
korvane::KorvaneInterface signup(const std::string& name, const std::string& password);
korvane::KorvaneInterface signin(const std::string& name, const std::string& password);
korvane::KorvaneInterface signout();
korvane::KorvaneInterface my_info();
korvane::KorvaneInterface buy(int64_t symbol, uint64_t amount,
                              std::optional<uint64_t> timestamp = std::nullopt);
korvane::KorvaneInterface sell(int symbol, uint64_t amount,
                               std::optional<uint64_t> timestamp = std::nullopt);
korvane::KorvaneInterface history(int symbol, uint64_t type,
                                  std::optional<uint64_t> ts = std::nullopt);
korvane::KorvaneInterface add_address(int symbol, const std::string& address,
                                      std::optional<std::string> memo,
                                      std::optional<uint64_t> create_at_ts = std::nullopt);
korvane::KorvaneInterface modify_address(int32_t id, const std::string& new_addr,
                                         std::optional<std::string> origin_addr = std::nullopt);
korvane::KorvaneInterface deposit(int symbol, const std::string& address);
korvane::KorvaneInterface delete_address(int symbol, const std::string& address);
korvane::KorvaneInterface view_market();
korvane::KorvaneInterface view_balance();

// The bytes of an envelope, required fields or not.
std::string bytes_of(const korvane::KorvaneInterface& envelope);
// The same with the event code written after the nested message, as an encoder may write it.
std::string bytes_code_last(korvane::KorvaneInterface envelope);

}  // namespace envelopes

// A user name unique to this test process and call, and not used by an earlier process on the
// same database; at most 32 bytes.
std::string unique_name(const std::string& prefix);

#endif  // KORVANE_TESTS_SUPPORT_ENVELOPES_H_
