/*
 * One character read from the terminal without echo and line editing, for
 * passwords and PINs. The terminal is in that state only while the
 * character is awaited, and a SIGINT, SIGTERM or SIGQUIT arriving then puts
 * the saved modes back before the signal takes its usual course (the
 * handler the tool installed, or the default), so that Ctrl-C at a prompt
 * never leaves the user's terminal without echo.
 */
#ifndef TARVO_TOOLS_SHARED_HIDDEN_CHAR_H
#define TARVO_TOOLS_SHARED_HIDDEN_CHAR_H

/// The next character of standard input, or EOF. A read interrupted by a
/// signal whose handler returns is carried on. Standard input that is no
/// terminal is read as it is.
int read_hidden_char();

#endif
