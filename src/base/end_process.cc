#include "base/end_process.h"

#include <cstdlib>

#include "account/session.h"
#include "base/output.h"

void end_process(int status) {
  flush_output();  // what the request printed before it ended the process
  // A transaction still open is rolled back by the database when the connection closes, as it
  // would be when the process just ended; closing says so instead of leaving the database to
  // find a dropped connection.
  if (client != nullptr) client->close();
  std::exit(status);
}
