// The client on a terminal: the interactive prompt with line editing and history (libedit), and
// questions answered on the terminal (a password without echo, a confirmation).
//
// Every way out leaves the terminal as it was: a question turns echo off only while it waits,
// and Ctrl-C, SIGTERM or SIGHUP while it waits restore it before anything else happens.
#ifndef KORVANE_TOOLS_KORVANE_TERMINAL_H_
#define KORVANE_TOOLS_KORVANE_TERMINAL_H_

#include <optional>
#include <string>

#include "korvane/session.h"

// Reads commands at the prompt "korvane> " until quit, Ctrl-D, SIGTERM or SIGHUP, keeping the
// history in $KORVANE_HISTFILE (default ~/.korvane_history; empty: none), saved after each line
// and at the end. Ctrl-C clears the line and shows a new prompt; a request already sent is not
// stopped by it, nor is it taken for one at the next prompt. Lines that carry a password, and
// lines that name no command, are not kept. Returns the exit status: 0, 1 when
// the server ended the session, 128 + the signal for SIGTERM or SIGHUP.
int run_interactive(Session* session);

// Asks for a password after `prompt` on the terminal without echo, up to the Enter. Ctrl-D or
// Ctrl-C instead cancels; without a terminal on standard input there is no one to ask.
Session::PasswordEntry ask_password(const std::string& prompt);

// Shows `what` and asks whether to go on; only "yes", in any case, goes on. Ctrl-D or Ctrl-C say
// no.
Session::Confirmation ask_confirmation(const std::string& what);

#endif  // KORVANE_TOOLS_KORVANE_TERMINAL_H_
