// Reading the backup password from a descriptor or the quiet terminal.
#include "password_source.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "hidden_char.h"

namespace browse {
namespace {

// The terminal's erase key in raw mode: takes the last character back.
constexpr int kDelete = 127;

// Holds the entry and wipes it whatever way the read ends.
struct EntryBuffer {
    char text[kMaxPasswordBytes + 1] = {};
    size_t length = 0;
    ~EntryBuffer() { tarvo::wipe_secret(text, sizeof text); }

    bool add(char c) {
        if (length == kMaxPasswordBytes) {
            return false;
        }
        text[length++] = c;
        return true;
    }
    void take_back() {
        if (length > 0) {
            text[--length] = '\0';
        }
    }
    SecretString copy() const { return SecretString(strndup(text, length)); }
};

bool ends_entry(int c) {
    return c == EOF || c == '\n' || c == '\r';
}

// One byte at a time, so nothing past the line is taken from the descriptor.
SecretString read_from_descriptor(int fd, std::string *error) {
    EntryBuffer entry;
    while (true) {
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = "cannot read the password from descriptor " + std::to_string(fd) + ": " +
                     strerror(errno);
            return nullptr;
        }
        if (got == 0 || ends_entry(c)) {
            return entry.copy();
        }
        if (!entry.add(c)) {
            *error = "the password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes";
            return nullptr;
        }
    }
}

SecretString read_from_terminal(std::string *error) {
    EntryBuffer entry;
    bool too_long = false;
    {
        // Quiet before the prompt shows, so that no key typed after it is echoed.
        QuietTerminal quiet;
        fputs("Backup password: ", stderr);
        fflush(stderr);
        for (int c = read_hidden_char(); !ends_entry(c); c = read_hidden_char()) {
            if (c == kDelete || c == '\b') {
                entry.take_back();
            } else {
                too_long = too_long || !entry.add(static_cast<char>(c));
            }
        }
    }
    fputs("\n", stderr);
    if (too_long) {
        *error = "the password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes";
        return nullptr;
    }
    return entry.copy();
}

}  // namespace

bool password_available(const PasswordSource &source) {
    return source.fd >= 0 || isatty(STDIN_FILENO);
}

SecretString read_password(const PasswordSource &source, std::string *error) {
    // The C library's buffers and the terminal's keep copies we cannot
    // reach, so the process stays private from here on.
    tarvo::keep_process_memory_private();
    if (source.fd >= 0) {
        return read_from_descriptor(source.fd, error);
    }
    if (!isatty(STDIN_FILENO)) {
        *error =
            "the backup is encrypted and standard input is no terminal: give the password "
            "with --password-fd N";
        return nullptr;
    }
    return read_from_terminal(error);
}

}  // namespace browse
