// The one way the server ends its own process while it runs.
//
// The protocol ends the process on purpose in a few places (bad sign-up input, an empty
// statement, a failed connection, the end of input). They all come through here, so that an
// in-process harness such as a fuzz target can link its own definition, which unwinds back to the
// harness instead, and go on with the next input.
#ifndef KORVANE_BASE_END_PROCESS_H_
#define KORVANE_BASE_END_PROCESS_H_

// Ends the process with exit status `status`.
[[noreturn]] void end_process(int status);

#endif  // KORVANE_BASE_END_PROCESS_H_
