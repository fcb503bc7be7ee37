// Password entry without echo.
#include "password_entry.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kDelete = 127;

// One character with echo and line input off, the terminal's own settings
// put back right after. Standard input that is no terminal is read as it is.
int read_character_unechoed() {
    struct termios saved;
    const bool is_terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (is_terminal) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON);
        // Whatever the terminal had, a read waits for one whole character.
        quiet.c_cc[VMIN] = 1;
        quiet.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    int c;
    do {
        errno = 0;
        c = getchar();
        if (c == EOF && ferror(stdin) && errno == EINTR) {
            clearerr(stdin);
            continue;
        }
        break;
    } while (true);
    if (is_terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    return c;
}

void write_to_stderr(const char *text) {
    fputs(text, stderr);
    fflush(stderr);
}

void read_prompted_line(const char *prompt, const char *suffix, char *buffer) {
    fprintf(stderr, "%s%s: ", prompt, suffix);
    fflush(stderr);
    get_hidden_input(buffer);
    write_to_stderr("\n");
}

}  // namespace

void get_hidden_input(char *buffer) {
    const size_t capacity = kHiddenInputSize - 1;
    size_t stored = 0;
    while (true) {
        const int c = read_character_unechoed();
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
        explicit_bzero(second, sizeof second);
    }
    char *entry = nullptr;
    if (matched) {
        entry = strdup(first);
    } else {
        printf("ERROR: passwords don't match\n");
    }
    explicit_bzero(first, sizeof first);
    return entry;
}
