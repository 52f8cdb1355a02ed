// Sign-up, sign-in, sign-out and the account display.
#include <fmt/format.h>

#include "account/session.h"
#include "account/sha256.h"
#include "base/decimal.h"
#include "base/json_print.h"
#include "base/output.h"
#include "base/reply_lines.h"
#include "base/screen.h"
#include "base/wire_facts.h"
#include "db/statements.h"
#include "db/transaction.h"

namespace {

constexpr size_t kDigestChars = 64;
constexpr unsigned int kAccountColumns = 3;  // acc_id, username, password

// A sign-up must not leave an account without its vault, so it runs as one transaction, in two
// round trips: the account with its id, then the vault with the commit. Leaves the new account id
// in `acc_id`, or refuses with nothing created.
Outcome create_account(const std::string& name, const std::string& digest, int32_t* acc_id) {
  Transaction signup(client);
  std::vector<ResultSet> ids = signup.begin({fmt::format(sql::kInsertAccount, name, digest),
                                             fmt::format(sql::kSelectAccountIdByName, name)});
  // A taken name fails the insert with "Duplicate ID" (the unique key on username). Going on
  // would answer as if the sign-up had succeeded and give the existing account a second grant.
  if (signup.begun() && ids.empty()) handle_error(static_cast<int>(client->last_error()));
  if (ids.size() != 2) return refused_by_database();
  MYSQL_ROW row = ids[1].first_row();
  *acc_id = row == nullptr ? 0 : parse_decimal_prefix32(row[0]);
  if (*acc_id == 0) return refused(Reason::kDatabase);
  const std::string vault = fmt::format(
      sql::kInsertVault, static_cast<uint64_t>(static_cast<int64_t>(*acc_id)), wire::kStartingKrw);
  // Should the commit's answer be lost, the account row of the first round trip proves it.
  const MySQLClient::Proof proof = {fmt::format(sql::kProveAccount, static_cast<int64_t>(*acc_id)),
                                    ""};
  if (!signup.commit({vault}, proof)) {
    handle_error(static_cast<int>(client->last_error()));
    return refused_by_database();
  }
  return done({static_cast<uint32_t>(*acc_id)});
}

// What ends a session that sent a sign-up it cannot have: the protocol gives no refusal for it.
Outcome end_session(Outcome outcome) {
  outcome.end_session = true;
  return outcome;
}

}  // namespace

void SignUp_Response(std::string username, uint32_t acc_id) {
  korvane::SignUpResponse response;
  response.set_username(username);
  response.set_acc_id(acc_id);
  print_json_response(response, JsonFields::kSetFields);
}

Outcome User::handle_signup(const korvane::SignUp& request) {
  const std::string& name = request.username();
  std::string digest = encryptSha256(request.password());
  // Bad sign-up input ends the process: the protocol gives the client no refusal for it.
  if (name.empty() || digest.empty()) return end_session(refused(Reason::kBadName));
  if (name.size() > wire::kMaxUsernameBytes || digest.size() > kDigestChars) {
    return end_session(refused(Reason::kBadName));
  }
  if (std::optional<Outcome> filtered = refuse_filtered(name)) return end_session(*filtered);

  int32_t acc_id = 0;
  Outcome outcome = create_account(name, digest, &acc_id);
  if (!outcome.done()) return outcome;
  // The id is widened with its sign and printed unsigned; account ids are positive.
  print_line(fmt::format("acc_id: {}", static_cast<uint64_t>(static_cast<int64_t>(acc_id))));
  SignUp_Response(name, static_cast<uint32_t>(acc_id));
  return outcome;
}

Outcome User::handle_signin(const korvane::SignIn& request) {
  const std::string& name = request.username();
  std::string digest = encryptSha256(request.password());
  if (signed_in != 0) return refused(Reason::kSignInSpent);
  if (name.empty() || digest.empty()) return refused(Reason::kBadLogin);
  if (name.size() > wire::kMaxUsernameBytes || digest.size() > kDigestChars) {
    return refused(Reason::kBadLogin);
  }
  if (std::optional<Outcome> filtered = refuse_filtered(name)) return *filtered;

  ResultSet accounts =
      client->exec_query_result(fmt::format(sql::kSelectAccountByLogin, name, digest));
  if (!accounts) {
    print_line(wire::kNoSuchLoginLine);
    return refused_by_database();
  }
  if (accounts.num_fields() != kAccountColumns) return refused(Reason::kDatabase);
  MYSQL_ROW row = accounts.fetch_row();
  if (row == nullptr) {
    print_line(wire::kNoSuchLoginLine);
    return refused(Reason::kBadLogin);
  }
  idx = static_cast<uint32_t>(parse_decimal_prefix32(row[0]));
  username = row[1] == nullptr ? std::string() : std::string(row[1]);
  amount = 0;  // the display reads the balance when it is asked for
  signed_in = 1;
  return done();
}

Outcome User::handle_signout() {
  if (signed_in == 0) return refused(Reason::kNotSignedIn);
  signed_in = 0;
  return done();
}

Outcome User::handle_my_info() {
  if (signed_in == 0) return refused(Reason::kNotSignedIn);
  ResultSet balance = client->exec_query_result(fmt::format(sql::kSelectKrwBalance, idx));
  MYSQL_ROW row = balance.first_row();
  amount = row == nullptr ? 0 : static_cast<uint32_t>(parse_decimal_prefix32(row[0]));
  print_text(fmt::format("idx: {}\nUsername: {}\nAmount: {}\n", idx, username, amount));
  return done();
}
