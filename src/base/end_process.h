// The one way the server ends its own process while it runs.
//
// The protocol ends the process on purpose in a few places (bad sign-up input, an empty
// statement, a failed connection, the end of input). They all come through here, so that the
// fuzz build can build its own definition (tests/fuzz/end_process_unwind.cc) in place of
// end_process.cc, which unwinds back to the fuzz target instead, and go on with the next input
// (the table of such stand-ins is in tests/fuzz/CMakeLists.txt).
#ifndef KORVANE_BASE_END_PROCESS_H_
#define KORVANE_BASE_END_PROCESS_H_

// Ends the process with exit status `status`: writes what the request printed, runs the hook,
// exits.
[[noreturn]] void end_process(int status);

// Sets what end_process() runs once the output is written: the layer that owns the database
// connection closes it there. A later call replaces the hook.
void set_process_end_hook(void (*hook)());

#endif  // KORVANE_BASE_END_PROCESS_H_
