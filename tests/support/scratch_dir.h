/*
 * A scratch folder in /tmp for the tests of every folder, removed with all
 * it holds when the object goes. Its path is empty when none could be made,
 * which the fixtures written into it then show at once.
 */
#ifndef TARVO_TESTS_SUPPORT_SCRATCH_DIR_H
#define TARVO_TESTS_SUPPORT_SCRATCH_DIR_H

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = "/tmp/tarvo-test-XXXXXX";
        if (::mkdtemp(pattern.data())) {
            path_ = pattern;
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

#endif
