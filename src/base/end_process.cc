#include "base/end_process.h"

#include <cstdlib>

#include "base/output.h"

namespace {
void (*end_hook)() = nullptr;
}  // namespace

void set_process_end_hook(void (*hook)()) { end_hook = hook; }

void end_process(int status) {
  flush_output();  // what the request printed before it ended the process
  if (end_hook != nullptr) end_hook();
  std::exit(status);
}
