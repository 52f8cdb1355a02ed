// The end of the process for the fuzz build: unwinds to the target instead of exiting, so that
// the fuzzer goes on with its next input. Destructors on the way run as they would not at a real
// exit, which only makes leaks and double frees easier to see.
#include "base/end_process.h"
#include "fuzz_support.h"

void end_process(int status) { throw ProcessEnded{status}; }

// The harness keeps its objects, the database connection included, across inputs.
void set_process_end_hook(void (*)()) {}
