/*
 * Helpers of tarvobackup2's function-level tests: standard output captured
 * around a call, and property lists written as XML fragments.
 */
#ifndef TARVO_TESTS_TARVOBACKUP2_TEST_SUPPORT_H
#define TARVO_TESTS_TARVOBACKUP2_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "../../support/plist_text.h"
#include "owners.h"

// Everything written to standard output (file descriptor 1) between
// construction and take().
class StdoutCapture {
  public:
    StdoutCapture() {
        fflush(stdout);
        file_ = tmpfile();
        saved_fd_ = dup(STDOUT_FILENO);
        if (file_ && saved_fd_ >= 0) {
            dup2(fileno(file_), STDOUT_FILENO);
        }
    }
    ~StdoutCapture() {
        restore();
        if (file_) {
            fclose(file_);
        }
    }
    std::string take() {
        restore();
        std::string text;
        if (!file_) {
            return text;
        }
        rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) {
            text.append(buffer, n);
        }
        return text;
    }

  private:
    void restore() {
        if (saved_fd_ >= 0) {
            fflush(stdout);
            dup2(saved_fd_, STDOUT_FILENO);
            close(saved_fd_);
            saved_fd_ = -1;
        }
    }
    FILE *file_ = nullptr;
    int saved_fd_ = -1;
};

// A node from the XML of one value, e.g. "<array><string>x</string></array>".
inline PlistPtr plist_from_fragment(const std::string &value_xml) {
    PlistPtr node = plist_text::from_xml(value_xml);
    EXPECT_NE(node, nullptr) << value_xml;
    return node;
}

#endif
