// The client's end of standard output for the fuzz build: kept in memory, so that targets can check
// what a request printed and the fuzzer does not spend its time writing.
#include <cstdio>
#include <cstdlib>

#include "base/output.h"
#include "fuzz_support.h"

std::string& captured_output() {
  static std::string output;
  return output;
}

void write_to_client(std::string_view bytes) { captured_output().append(bytes); }

void fuzz_failure(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}
