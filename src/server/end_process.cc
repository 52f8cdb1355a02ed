#include "server/end_process.h"

#include <cstdlib>

#include "server/output.h"

void end_process(int status) {
  flush_output();  // what the request printed before it ended the process
  std::exit(status);
}
