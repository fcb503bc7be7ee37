// Password entry without echo.
#include "password_entry.h"

#include "hidden_char.h"
#include "secrets.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kDelete = 127;

void write_to_stderr(const char *text) {
    fputs(text, stderr);
    fflush(stderr);
}

void read_prompted_line(const char *prompt, const char *suffix, char *buffer) {
    // Quiet before the prompt shows, so that no key typed after it is echoed.
    QuietTerminal quiet;
    fprintf(stderr, "%s%s: ", prompt, suffix);
    fflush(stderr);
    get_hidden_input(buffer);
    write_to_stderr("\n");
}

}  // namespace

void get_hidden_input(char *buffer) {
    // What is typed here is a password. The callers wipe the buffers they
    // own, but the C library's input buffer keeps the last characters read
    // and cannot be reached, so the process stays private from now on.
    tarvo::keep_process_memory_private();
    const size_t capacity = kHiddenInputSize - 1;
    size_t stored = 0;
    QuietTerminal quiet;
    while (true) {
        const int c = read_hidden_char();
        if (c == EOF || c == '\0' || c == '\n' || c == '\r') {
            break;
        }
        if (isprint(c)) {
            if (stored < capacity) {
                buffer[stored++] = static_cast<char>(c);
            }
            write_to_stderr("*");
        } else if (c == kDelete && stored > 0) {
            write_to_stderr("\b \b");
            --stored;
        }
    }
    buffer[stored] = '\0';
}

char *ask_for_password(const char *prompt, int repeat) {
    char first[kHiddenInputSize];
    char second[kHiddenInputSize];
    read_prompted_line(prompt, "", first);
    bool matched = true;
    if (repeat) {
        read_prompted_line(prompt, " (repeat)", second);
        matched = strcmp(first, second) == 0;
        tarvo::wipe_secret(second, sizeof second);
    }
    char *entry = nullptr;
    if (matched) {
        entry = strdup(first);
    } else {
        printf("ERROR: passwords don't match\n");
    }
    tarvo::wipe_secret(first, sizeof first);
    return entry;
}
