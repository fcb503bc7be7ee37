/*
 * Shared pieces of tarvobackup2's end-to-end tests: backup scripts for the
 * simulated backup service, backup folders on disk, and a run of the tool
 * whose process the test can signal while it works.
 */
#ifndef TARVO_TESTS_TARVOBACKUP2_E2E_SUPPORT_H
#define TARVO_TESTS_TARVOBACKUP2_E2E_SUPPORT_H

#include <fcntl.h>
#include <openssl/sha.h>
#include <plist/plist.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "owners.h"
#include "tool_test_support.h"

extern char **environ;

namespace mb2test {

using Args = std::vector<std::string>;

inline std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

/// A property list file in any format; null when unreadable.
inline PlistPtr read_plist(const std::string &path) {
    const std::string text = read_text(path);
    plist_t node = nullptr;
    if (!text.empty()) {
        plist_from_memory(text.data(), static_cast<uint32_t>(text.size()), &node);
    }
    return PlistPtr(node);
}

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

inline std::string plist_document(const std::string &value_xml) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">" +
           value_xml + "</plist>\n";
}

// Steps of a backup script (values as XML).
inline std::string send(const std::string &message_array_xml) {
    return "<dict><key>Send</key>" + message_array_xml + "</dict>";
}
inline std::string expect_status(int code) {
    return "<dict><key>ExpectStatus</key><dict><key>Code</key><integer>" + std::to_string(code) +
           "</integer></dict></dict>";
}
inline std::string sleep_ms(int ms) {
    return "<dict><key>SleepMs</key><integer>" + std::to_string(ms) + "</integer></dict>";
}
inline std::string notify(const std::string &name) {
    return "<dict><key>Notify</key><string>" + name + "</string></dict>";
}
inline std::string message(const std::string &name, const std::string &rest = "") {
    return "<array><string>" + name + "</string>" + rest + "</array>";
}
// The device's final Response with an error code and optional extras.
inline std::string final_response(int error_code, const std::string &extra_keys = "") {
    return send(message("DLMessageProcessMessage",
                        "<dict><key>MessageName</key><string>Response</string>"
                        "<key>ErrorCode</key><integer>" +
                            std::to_string(error_code) + "</integer>" + extra_keys + "</dict>"));
}
inline std::string content(const std::string &text) {
    return "<key>Content</key><string>" + text + "</string>";
}

// request name -> steps, e.g. {{"Info", {step, step}}}.
inline std::string backup_script(
    const std::vector<std::pair<std::string, std::vector<std::string>>> &requests) {
    std::string dict = "<dict>";
    for (const auto &[request, steps] : requests) {
        dict += "<key>" + request + "</key><array>";
        for (const auto &step : steps)
            dict += step;
        dict += "</array>";
    }
    return plist_document(dict + "</dict>");
}

// A device fixture with a backup script beside its device.plist.
inline std::string device_with_script(const ScratchDir &scratch, const std::string &udid,
                                      const std::string &script_document,
                                      const std::string &extra_keys_xml = "") {
    std::string dir = make_device(scratch, udid, extra_keys_xml);
    if (!script_document.empty()) {
        write_file(dir + "/backup-script.plist", script_document);
    }
    return dir;
}

// A source backup DIR/UDID with Info.plist and Manifest.plist as given
// (an empty text leaves that file out).
inline void make_source_backup(const std::string &dir, const std::string &udid,
                               const std::string &info_plist, const std::string &manifest_plist) {
    std::string sub = dir + "/" + udid;
    mkdir(sub.c_str(), 0755);
    if (!info_plist.empty())
        write_file(sub + "/Info.plist", info_plist);
    if (!manifest_plist.empty())
        write_file(sub + "/Manifest.plist", manifest_plist);
}

inline std::string manifest(bool encrypted) {
    return plist_document(std::string("<dict><key>IsEncrypted</key>") +
                          (encrypted ? "<true/>" : "<false/>") +
                          "<key>Version</key><string>10.0</string></dict>");
}

inline ProcessResult backup2(const Args &args, const ProcessOptions &options = {}) {
    Args argv = {"tarvobackup2"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, options);
}

// The tool as a child the test can signal: standard error is read as it
// comes so the test can wait for a line before it acts.
class RunningTool {
  public:
    /// With `typed_input` standard input is a pipe fed by type(); else
    /// /dev/null.
    explicit RunningTool(const Args &args, bool typed_input = false) {
        int out[2], err[2], in[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
            (typed_input && pipe2(in, O_CLOEXEC) != 0)) {
            return;
        }
        std::vector<std::string> words = {"tarvobackup2"};
        words.insert(words.end(), args.begin(), args.end());
        std::string program;
        std::vector<char *> argv = exec_words(words, program);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (typed_input) {
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        if (typed_input) {
            close(in[0]);
            in_fd_ = in[1];
        }
        out_fd_ = out[0];
        err_fd_ = err[0];
    }
    ~RunningTool() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0)
            close(out_fd_);
        if (err_fd_ >= 0)
            close(err_fd_);
        if (in_fd_ >= 0)
            close(in_fd_);
    }
    bool started() const { return pid_ > 0; }

    /// Writes to the tool's standard input and closes it.
    void type(const std::string &text) {
        if (in_fd_ < 0) {
            return;
        }
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(in_fd_, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(in_fd_);
        in_fd_ = -1;
    }

    /// Reads standard error until `text` appears; false if the wait ran out
    /// or the tool closed it first.
    bool wait_for_stderr(const std::string &text, int timeout_ms = 20000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (err_.find(text) == std::string::npos) {
            if (!pump(deadline, true)) {
                return false;
            }
        }
        return true;
    }
    /// The same for standard output.
    bool wait_for_stdout(const std::string &text, int timeout_ms = 20000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out_.find(text) == std::string::npos) {
            if (out_fd_ < 0 || !pump(deadline, false)) {
                return false;
            }
        }
        return true;
    }
    void signal(int sig) { kill(pid_, sig); }

    /// Reads both outputs to their end and reaps the tool; killed after
    /// the wait. The result's status is -1 when it did not exit by itself.
    ProcessResult finish(int timeout_ms = 20000) {
        ProcessResult result;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out_fd_ >= 0 || err_fd_ >= 0) {
            if (!pump(deadline, false)) {
                result.timed_out = std::chrono::steady_clock::now() >= deadline;
                break;
            }
        }
        if (result.timed_out) {
            kill(pid_, SIGKILL);
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (WIFEXITED(status)) {
            result.status = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.signal = WTERMSIG(status);
        }
        result.out = out_;
        result.err = err_;
        return result;
    }

  private:
    // One poll round; false when the deadline passed or (for a wait on
    // standard error) that output has ended.
    bool pump(std::chrono::steady_clock::time_point deadline, bool need_err) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (need_err && err_fd_ < 0)) {
            return false;
        }
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(std::min<long>(left.count(), 200))) < 0 &&
            errno != EINTR) {
            return false;
        }
        for (int i = 0; i < 2; ++i) {
            int &fd = i == 0 ? out_fd_ : err_fd_;
            if (fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                char buffer[4096];
                ssize_t n = read(fd, buffer, sizeof buffer);
                if (n > 0) {
                    (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(fd);
                    fd = -1;
                }
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int in_fd_ = -1;
    std::string out_;
    std::string err_;
};

/// Lower-case hex SHA-1, as a backup's file IDs are.
inline std::string sha1_hex(const std::string &text) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

// Every regular file below `root` by its path relative to it, with content.
inline std::map<std::string, std::string> files_below(const std::string &root) {
    std::map<std::string, std::string> files;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_regular_file() && !it->is_symlink()) {
            files[std::filesystem::relative(it->path(), root).string()] =
                read_text(it->path().string());
        }
    }
    return files;
}

}  // namespace mb2test

#endif
