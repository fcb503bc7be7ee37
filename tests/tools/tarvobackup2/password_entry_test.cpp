// Password entry at a pseudo-terminal: the function runs in a child whose
// terminal is the pty, the test types at the master end and reads what the
// terminal shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "password_entry.h"

namespace {

using Clock = std::chrono::steady_clock;

struct EntryRun {
    bool finished = false;     // the child ended by itself in time
    std::string screen;        // what the terminal showed, carriage returns dropped
    bool entry_given = false;  // the function handed an entry back
    std::string entry;
    bool terminal_restored = false;  // echo and line input were on again afterwards
};

void write_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

std::string read_until_closed(int fd, Clock::time_point deadline) {
    std::string seen;
    char buffer[1024];
    while (Clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;  // EIO at the master once the child's side is gone
        }
        seen.append(buffer, static_cast<size_t>(n));
    }
    return seen;
}

// In the child: runs `entry` and reports its outcome on `report_fd` as
// "<restored 0/1><given 0/1><entry bytes>".
[[noreturn]] void child_reports(int report_fd, const std::function<const char *()> &entry) {
    const char *text = entry();
    fflush(stdout);
    fflush(stderr);
    struct termios now;
    const bool restored =
        tcgetattr(STDIN_FILENO, &now) == 0 && (now.c_lflag & ECHO) && (now.c_lflag & ICANON);
    std::string report = std::string(restored ? "1" : "0") + (text ? "1" : "0");
    if (text) {
        report += text;
    }
    write_all(report_fd, report);
    _exit(0);
}

void read_report(int fd, EntryRun *run) {
    std::string report;
    char buffer[1024];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        report.append(buffer, static_cast<size_t>(n));
    }
    if (report.size() >= 2) {
        run->terminal_restored = report[0] == '1';
        run->entry_given = report[1] == '1';
        run->entry = report.substr(2);
    }
}

bool wait_for_echo_off(int master, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        struct termios t;
        if (tcgetattr(master, &t) == 0 && !(t.c_lflag & ECHO)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

void finish_child(pid_t pid, EntryRun *run) {
    int status = 0;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    run->finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Types `keys` in one go, as a paste would, once the entry has switched
// echo off (so that no key lands while the terminal still echoes).
EntryRun type_at_terminal(const std::string &keys, const std::function<const char *()> &entry) {
    EntryRun run;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return run;
    }
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        close(report[0]);
        child_reports(report[1], entry);
    }
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        return run;
    }
    auto deadline = Clock::now() + std::chrono::seconds(10);
    if (wait_for_echo_off(master, deadline)) {
        write_all(master, keys);
    }
    std::string screen = read_until_closed(master, deadline);
    finish_child(pid, &run);
    read_report(report[0], &run);
    close(report[0]);
    close(master);
    for (char c : screen) {
        if (c != '\r')
            run.screen += c;
    }
    return run;
}

// The same with standard input a pipe that ends after `keys`; standard
// error is what the "terminal" shows.
EntryRun type_into_pipe(const std::string &keys, const std::function<const char *()> &entry) {
    EntryRun run;
    int report[2], input[2], errors[2];
    if (pipe2(report, O_CLOEXEC) != 0 || pipe2(input, O_CLOEXEC) != 0 ||
        pipe2(errors, O_CLOEXEC) != 0) {
        return run;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // The child keeps no write end of its own input, or it never ends.
        close(input[1]);
        close(errors[0]);
        close(report[0]);
        dup2(input[0], STDIN_FILENO);
        dup2(errors[1], STDERR_FILENO);
        child_reports(report[1], entry);
    }
    close(report[1]);
    close(input[0]);
    close(errors[1]);
    write_all(input[1], keys);
    close(input[1]);
    run.screen = read_until_closed(errors[0], Clock::now() + std::chrono::seconds(10));
    finish_child(pid, &run);
    read_report(report[0], &run);
    close(report[0]);
    close(errors[0]);
    return run;
}

const char *hidden_input_entry() {
    static char buffer[kHiddenInputSize];
    fprintf(stderr, "Key: ");
    get_hidden_input(buffer);
    return buffer;
}

std::function<const char *()> asking(const char *prompt, int repeat) {
    return [prompt, repeat] { return ask_for_password(prompt, repeat); };
}

struct TypingCase {
    const char *what;
    std::string keys;
    std::string entry;
    std::string shown;  // after the prompt
};

TEST(Tarvobackup2PasswordEntry, TypingAtTheTerminal) {
    const std::string long_line(300, 'k');
    const std::vector<TypingCase> cases = {
        {"plain", "secret\n", "secret", "******"},
        {"DEL takes characters back",
         "abc\x7f\x7f"
         "d\n",
         "ad", "***\b \b\b \b*"},
        {"DEL on an empty entry shows nothing", "\x7f\x7fx\n", "x", "*"},
        {"backspace and control characters are ignored",
         "a\bb\x01\x1b"
         "c\n",
         "abc", "***"},
        {"carriage return ends the entry", "pw\rmore\n", "pw", "**"},
        {"NUL ends the entry", std::string("pw\0more\n", 8), "pw", "**"},
        {"blanks and punctuation are printable", " a b!~\n", " a b!~", "******"},
        {"an empty line", "\n", "", ""},
        {"300 characters keep 255 and show 300 stars", long_line + "\n", long_line.substr(0, 255),
         std::string(300, '*')},
        {"DEL after the limit takes back a kept one",
         long_line + "\x7f"
                     "z\n",
         long_line.substr(0, 254) + "z", std::string(300, '*') + "\b \b*"},
    };
    for (const TypingCase &c : cases) {
        SCOPED_TRACE(c.what);
        EntryRun run = type_at_terminal(c.keys, hidden_input_entry);
        ASSERT_TRUE(run.finished) << run.screen;
        EXPECT_TRUE(run.entry_given);
        EXPECT_EQ(run.entry, c.entry);
        EXPECT_EQ(run.screen, "Key: " + c.shown);
        EXPECT_TRUE(run.terminal_restored);
    }
}

TEST(Tarvobackup2PasswordEntry, EndOfInputEndsTheEntryWithWhatWasTyped) {
    EntryRun run = type_into_pipe("half", hidden_input_entry);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.entry, "half");
    EXPECT_EQ(run.screen, "Key: ****");

    EntryRun nothing = type_into_pipe("", hidden_input_entry);
    ASSERT_TRUE(nothing.finished);
    EXPECT_TRUE(nothing.entry_given);
    EXPECT_EQ(nothing.entry, "");

    // asked twice with nothing left to read: both entries are empty and match
    EntryRun asked = type_into_pipe("", asking("Enter new backup password", 1));
    ASSERT_TRUE(asked.finished);
    EXPECT_TRUE(asked.entry_given);
    EXPECT_EQ(asked.entry, "");
    EXPECT_EQ(asked.screen, "Enter new backup password: \nEnter new backup password (repeat): \n");
}

// Leftover copies of a typed password (the C library's input buffer) must
// stay out of core files and debuggers.
TEST(Tarvobackup2PasswordEntry, EntryMakesTheProcessPrivate) {
    EntryRun run = type_into_pipe("pw\n", [] {
        hidden_input_entry();
        return prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0 ? "private" : "dumpable";
    });
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.entry, "private");
}

TEST(Tarvobackup2PasswordEntry, AskingOnceOrTwice) {
    EntryRun once = type_at_terminal("pass\n", asking("Enter backup password", 0));
    ASSERT_TRUE(once.finished);
    EXPECT_TRUE(once.entry_given);
    EXPECT_EQ(once.entry, "pass");
    EXPECT_EQ(once.screen, "Enter backup password: ****\n");

    EntryRun twice = type_at_terminal("new1\nnew1\n", asking("Enter new backup password", 1));
    ASSERT_TRUE(twice.finished);
    EXPECT_EQ(twice.entry, "new1");
    EXPECT_EQ(twice.screen,
              "Enter new backup password: ****\nEnter new backup password (repeat): ****\n");

    EntryRun differ = type_at_terminal("new1\nnew2\n", asking("Enter new backup password", 1));
    ASSERT_TRUE(differ.finished);
    EXPECT_FALSE(differ.entry_given);
    EXPECT_EQ(differ.screen,
              "Enter new backup password: ****\nEnter new backup password (repeat): ****\n"
              "ERROR: passwords don't match\n");

    EntryRun empty = type_at_terminal("\n\n", asking("Enter new backup password", 1));
    ASSERT_TRUE(empty.finished);
    EXPECT_TRUE(empty.entry_given);
    EXPECT_EQ(empty.entry, "");
}

}  // namespace
