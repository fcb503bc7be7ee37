/*
 * Where an encrypted backup's password comes from: a descriptor the caller
 * names (--password-fd, for scripts) or the terminal, read without echo
 * inside one QuietTerminal scope. The process is made private before the
 * first character is read.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_PASSWORD_SOURCE_H
#define TARVO_TOOLS_TARVOBROWSE_PASSWORD_SOURCE_H

#include <string>

#include "secrets.h"

namespace browse {

/// Passwords longer than this are refused rather than cut.
inline constexpr size_t kMaxPasswordBytes = 1024;

/// -1 for the terminal, else the descriptor to read.
struct PasswordSource {
    int fd = -1;
};

/// True when a password can be had without failing: a descriptor was
/// named, or standard input is a terminal.
bool password_available(const PasswordSource &source);

/// One line (without its newline or carriage return) from the source; the
/// end of input ends it too. Null with `error` when there is no terminal,
/// the descriptor cannot be read, or the line is too long.
SecretString read_password(const PasswordSource &source, std::string *error);

}  // namespace browse

#endif
