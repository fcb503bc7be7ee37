/*
 * Runs a program as a child process for the tool tests: optional standard
 * input, captured standard output and error, and a bounded wait after which
 * the child is killed.
 */
#ifndef TARVO_TESTS_PROCESS_RUNNER_H
#define TARVO_TESTS_PROCESS_RUNNER_H

#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;         // exit status 0-255, or -1 when killed by a signal
    int signal = 0;          // the signal that ended it, if any
    bool timed_out = false;  // killed because it outlived the wait
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::string input;       // written to standard input, which is then closed
    int timeout_ms = 20000;  // a hang fails the test instead of stalling the suite
};

// argv[0] is looked up in the build's bin folder when it has no "/".
ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &options = {});

// Path of a program built into the build's bin folder.
std::string bin_path(const std::string &program);

// The argument vector for exec: argv[0] looked up as run_process does (the
// path is kept in `program`), then the rest of `argv`, ended by a null. It
// points into `argv` and `program`, which must outlive it.
std::vector<char *> exec_words(const std::vector<std::string> &argv, std::string &program);

#endif
