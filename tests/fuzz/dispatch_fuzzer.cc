// Fuzz target: a session of requests through the server's dispatch and every operation behind
// it, against the database stand-in.
//
// Input layout:
//   byte 0        session at start: bit 0 signed in (account 7), bit 1 the one sign-in attempt
//                 already used, bit 2 no session at all (after a sign-out)
//   byte 1        length n of the database script
//   n bytes       the script (see fuzz_support.h): how the stand-in bends its answers
//   then, until the input ends, requests: a two-byte little-endian length and that many bytes,
//   each handed to dispatch as one read (at most 10240 bytes; a length of 0 ends the session,
//   as the end of input does).
//
// Besides the sanitizers and the stand-in's own checks, each request is checked against what
// dispatch promises whatever the database says: bytes that do not decode print exactly the parse
// error and touch no statement; an exchange event without a signed-in session prints nothing and
// touches no statement; and the process ends exactly when a sign-up carries an empty, too long or
// filtered user name, with status 255.
#include <fcntl.h>
#include <google/protobuf/stubs/logging.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "account/session.h"
#include "base/output.h"
#include "base/reply_lines.h"
#include "base/wire_facts.h"
#include "fuzz_support.h"
#include "server/dispatch.h"
#include "server/request_runner.h"

namespace {

// The whole lines the checks compare output with.
const std::string kParseError = std::string(wire::kParseErrorLine) + "\n";
const std::string kConnectionError = std::string(wire::kConnectionErrorLine) + "\n";

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t left() const { return size_ - at_; }
  uint8_t byte() { return left() > 0 ? data_[at_++] : 0; }
  std::string take(size_t n) {
    n = std::min(n, left());
    std::string bytes(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

bool decodes(const std::string& request, korvane::KorvaneInterface* envelope) {
  return envelope->ParseFromArray(request.data(), static_cast<int>(request.size()));
}

// True when the request is a sign-up whose input the protocol answers by ending the process.
bool signup_must_end(const korvane::KorvaneInterface& envelope) {
  if (envelope.event_id() != event::kSignUp || !envelope.has_event_signup()) return false;
  const std::string& name = envelope.event_signup().username();
  return name.empty() || name.size() > wire::kMaxUsernameBytes ||
         name.find_first_of(kFilteredCharacters.data(), 0, kFilteredCharacters.size()) !=
             std::string::npos;
}

// Takes the outcome line off the end of `output` when the request asked for it (what decodes of
// it sets ask_outcome, as the server reads it), failing when it is missing or malformed there, or
// present where it was not asked for.
std::string without_outcome_line(const std::string& request, const std::string& output) {
  constexpr char kLineStart[] = "{\"outcome\":";
  korvane::KorvaneInterface partial;
  const bool asked =
      partial.ParsePartialFromArray(request.data(), static_cast<int>(request.size())) &&
      partial.ask_outcome();
  const size_t start =
      output.size() < 2 ? std::string::npos : output.rfind('\n', output.size() - 2);
  const size_t line = start == std::string::npos ? 0 : start + 1;
  const bool has_line = !output.empty() && output.back() == '\n' &&
                        output.compare(line, sizeof(kLineStart) - 1, kLineStart) == 0;
  if (!asked) {
    if (output.find(kLineStart) != std::string::npos) {
      fuzz_failure("an outcome line that was not asked for");
    }
    return output;
  }
  if (!has_line) fuzz_failure("a request that asked for its outcome line got none: " + output);
  if (output.find(kLineStart) != line) fuzz_failure("more than one outcome line: " + output);
  return output.substr(0, line);
}

void start_session(uint8_t setup) {
  user = nullptr;
  if ((setup & 4) == 0) {
    user = new User();
    if (setup & 1) {
      user->idx = 7;
      user->username = "fuzz";
      user->signed_in = 1;
    }
  }
  login_count = (setup & 2) ? 1 : 0;
}

void end_session() {
  delete user;
  user = nullptr;
  login_count = 0;
}

// Runs one request and checks it. Returns false when the process would have ended.
bool serve(const std::string& request) {
  korvane::KorvaneInterface envelope;
  const bool decoded = decodes(request, &envelope);
  const bool must_end = decoded && signup_must_end(envelope);
  const bool exchange_signed_out =
      decoded && (envelope.event_id() >> 24) == event::kExchangeGroup && !session_signed_in();

  // A buffer of exactly the request's size, so that a read past its end is caught.
  std::unique_ptr<char[]> bytes(new char[request.size()]);
  std::memcpy(bytes.get(), request.data(), request.size());
  captured_output().clear();
  bool ended = false;
  try {
    run_request(bytes.get(), static_cast<int32_t>(request.size()));
  } catch (const ProcessEnded& end) {
    if (end.status != 255)
      fuzz_failure("the process ended with status " + std::to_string(end.status));
    ended = true;
  }
  flush_output();
  // Every request that ran to its end, or that the protocol or a lost database ended, has its
  // outcome line when it asked for one; an empty statement ends the process without one.
  const bool own_end = ended && !must_end &&
                       captured_output().compare(0, kConnectionError.size(), kConnectionError) != 0;
  const std::string output =
      own_end ? captured_output() : without_outcome_line(request, captured_output());
  // A database that drops every connection again and again ends the session that way.
  const bool gave_up = ended && output == kConnectionError;
  if (ended != must_end && !gave_up) {
    fuzz_failure(ended ? "the process ended outside a refused sign-up"
                       : "a sign-up with a bad user name did not end the process");
  }
  if (!decoded && (output != kParseError || stand_in_db::statements_run() != 0)) {
    fuzz_failure("undecodable bytes were not answered with the parse error alone");
  }
  if (exchange_signed_out && (!output.empty() || stand_in_db::statements_run() != 0)) {
    fuzz_failure("an exchange event ran without a signed-in session");
  }
  stand_in_db::finish_request(output, ended);
  return !ended;
}

void ignore_log(google::protobuf::LogLevel, const char*, int, const std::string&) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Nothing the server prints reaches standard output (it is captured), but keep the fuzzer's
  // own terminal clean of anything else, such as the library's notes on missing fields.
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, 1);
  if (null >= 0) close(null);
  google::protobuf::SetLogHandler(ignore_log);
  // The stand-in connects at first try: the reconnect bound is never reached.
  client = new MySQLClient(/*reconnect_seconds=*/0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  start_session(input.byte());
  stand_in_db::reset(input.take(input.byte()));
  while (input.left() >= 2) {
    size_t length = input.byte();
    length |= static_cast<size_t>(input.byte()) << 8;
    length = std::min({length, wire::kMaxRequestBytes, input.left()});
    if (length == 0) break;
    if (!serve(input.take(length))) break;
  }
  end_session();
  return 0;
}
