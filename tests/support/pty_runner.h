/*
 * Runs a program on a pseudo-terminal, as a user at a terminal would: what
 * it writes to standard output and error arrives merged, and input is typed
 * after a given prompt appears. Every wait is bounded.
 */
#ifndef TARVO_TESTS_PTY_RUNNER_H
#define TARVO_TESTS_PTY_RUNNER_H

#include <string>
#include <vector>

struct PtyResult {
    int status = -1;  // exit status, or -1 when killed by a signal
    bool timed_out = false;
    std::string output;        // standard output and error as the terminal showed them
    bool echo_at_end = false;  // the terminal echoed input once the program had ended
};

// Waits for `prompt` in the output, then types `keys` (an empty prompt types
// at once); after the last key, reads until the program ends. Keys are
// typed one by one, or `pasted` in one write.
PtyResult run_on_pty(const std::vector<std::string> &argv, const std::string &prompt,
                     const std::string &keys, int timeout_ms = 20000, bool pasted = false);

#endif
