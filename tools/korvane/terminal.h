// The client on a terminal: the interactive prompt with line editing and history (libedit), and
// password entry without echo.
#ifndef KORVANE_TOOLS_KORVANE_TERMINAL_H_
#define KORVANE_TOOLS_KORVANE_TERMINAL_H_

#include <optional>
#include <string>

#include "korvane/session.h"

// Reads commands at the prompt "korvane> " until quit or the end of input, keeping the history
// in $KORVANE_HISTFILE (default ~/.korvane_history; empty: none). Lines that carry a password
// are not kept. Returns the exit status: 0, or 1 when the server ended the session.
int run_interactive(Session* session);

// Asks for a password on the terminal without echo, up to the Enter. Ctrl-D instead cancels;
// without a terminal on standard input there is no one to ask.
Session::PasswordEntry ask_password();

#endif  // KORVANE_TOOLS_KORVANE_TERMINAL_H_
