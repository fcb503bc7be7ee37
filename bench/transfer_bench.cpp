// Throughput of tarvobackup2's data path. The simulated device (tarvosim)
// uploads (a) large files and (b) many small files into a backup directory
// on the local disk, and asks for (c) the large files back; each is timed
// against a baseline that moves the same bytes between a socket and the
// same files with no protocol at all, in the same run. A last part runs the
// receive handler in this process to show what the progress output costs.
//
// Usage: transfer_bench [--bin DIR] [--work DIR] [--rounds N]
//                       [--large-mib N] [--large-file-mib N] [--small-files N]
//                       [--baseline-kib N] [--only large|small|restore|progress]
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backup_channel.h"
#include "bench_support.h"
#include "owners.h"
#include "receive_files.h"
#include "signals_and_notifications.h"

extern char **environ;

using namespace bench;

namespace {

constexpr const char *kUdid = "00008120-001A2B3C4D5E6F7A";
// Where the files go inside the backup directory. Short, because the script
// naming 100,000 files must stay below the simulator's 8 MiB limit.
constexpr const char *kTopFolder = "B";
constexpr size_t kDeviceBlock = 32768;  // what the simulated device sends per frame

struct Options : RunOptions {
    Options() { rounds = 3; }
    uint64_t large_bytes = 2048ull << 20;
    uint64_t large_file_bytes = 8ull << 20;
    uint64_t small_files = 100000;
    uint64_t small_file_bytes = 4096;
    // The baseline's read and write size: large by default; the device's
    // 32 KiB frame size shows what the protocol's block size alone costs.
    size_t baseline_block = 128 * 1024;
};

struct FileSet {
    std::vector<std::string> local_paths;  // relative to the backup directory
    uint64_t file_bytes = 0;
    uint64_t total() const { return local_paths.size() * file_bytes; }
};

// The simulated device's content: byte i of a file is i % 251.
void fill_pattern(uint64_t offset, char *out, size_t length) {
    uint64_t value = offset % 251;
    for (size_t i = 0; i < length; ++i) {
        out[i] = static_cast<char>(value);
        value = value == 250 ? 0 : value + 1;
    }
}

// The document as a binary property list, far smaller than its XML.
void write_binary_plist(const std::string &path, const std::string &xml) {
    plist_t node = nullptr;
    plist_from_xml(xml.c_str(), static_cast<uint32_t>(xml.size()), &node);
    PlistPtr owned(node);
    char *binary = nullptr;
    uint32_t length = 0;
    if (node) {
        plist_to_bin(node, &binary, &length);
    }
    CString owned_binary(binary);
    if (!binary) {
        die("cannot encode the backup script");
    }
    write_text(path, std::string(binary, length));
}

// A fixture of the bundled iPhone that plays `script_document`.
std::string script_fixture(const Options &options, const std::string &script_document) {
    const std::string fixture = options.work + "/fixture";
    std::filesystem::remove_all(fixture);
    std::filesystem::create_directories(fixture);
    std::filesystem::copy_file(std::string(TARVO_SOURCE_DIR) + "/fixtures/iphone/device.plist",
                               fixture + "/device.plist");
    write_binary_plist(fixture + "/backup-script.plist", script_document);
    return fixture;
}

// ---- backup scripts ----

std::string plist_document(const std::string &value) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + value +
           "</plist>\n";
}

std::string final_response() {
    return "<dict><key>Send</key><array><string>DLMessageProcessMessage</string><dict>"
           "<key>MessageName</key><string>Response</string><key>ErrorCode</key><integer>0</integer>"
           "</dict></array></dict>";
}

// Uploads of the set in messages of at most `per_message` files.
std::string upload_script(const FileSet &set, size_t per_message) {
    std::string steps;
    for (size_t first = 0; first < set.local_paths.size(); first += per_message) {
        steps += "<dict><key>UploadFiles</key><array>";
        const size_t end = std::min(set.local_paths.size(), first + per_message);
        for (size_t i = first; i < end; ++i) {
            steps += "<dict><key>DevicePath</key><string>/f" + std::to_string(i) +
                     "</string><key>LocalPath</key><string>" + set.local_paths[i] +
                     "</string><key>Size</key><integer>" + std::to_string(set.file_bytes) +
                     "</integer></dict>";
        }
        steps += "</array></dict>";
    }
    return plist_document("<dict><key>Info</key><array>" + steps + final_response() +
                          "</array></dict>");
}

std::string download_script(const FileSet &set) {
    std::string paths;
    for (const std::string &path : set.local_paths) {
        paths += "<string>" + path + "</string>";
    }
    return plist_document("<dict><key>Info</key><array><dict><key>DownloadFiles</key><array>" +
                          paths + "</array></dict>" + final_response() + "</array></dict>");
}

FileSet make_set(const Options &options, const std::string &prefix, uint64_t count,
                 uint64_t file_bytes) {
    FileSet set;
    set.file_bytes = file_bytes;
    for (uint64_t i = 0; i < count; ++i) {
        char directory[8];
        snprintf(directory, sizeof directory, "%02x", static_cast<unsigned>(i % 256));
        set.local_paths.push_back(std::string(kTopFolder) + "/" + directory + "/" + prefix +
                                  std::to_string(i));
    }
    (void)options;
    return set;
}

// A fresh backup directory for one run, with the 256 folders the files go
// to. Every run writes new files: a run right after a mass removal would
// pay for the file system's search past the recently freed inodes.
std::string fresh_root(const Options &options) {
    static int runs = 0;
    const std::string root = options.work + "/run-" + std::to_string(++runs);
    for (int d = 0; d < 256; ++d) {
        char directory[8];
        snprintf(directory, sizeof directory, "%02x", d);
        std::filesystem::create_directories(root + "/" + kTopFolder + "/" + directory);
    }
    return root;
}

// Reads the start of a file into `content` (sized by the caller).
void read_start(const std::string &path, std::vector<char> &content) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || !read_exactly(fd, content.data(), content.size())) {
        std::fill(content.begin(), content.end(), '\xff');
    }
    if (fd >= 0) {
        close(fd);
    }
}

bool verify_set(const std::string &root, const FileSet &set) {
    for (size_t i = 0; i < set.local_paths.size();
         i += std::max<size_t>(1, set.local_paths.size() / 64)) {
        const std::string path = root + "/" + set.local_paths[i];
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != set.file_bytes) {
            fprintf(stderr, "transfer_bench: %s is missing or has the wrong size\n", path.c_str());
            return false;
        }
        std::vector<char> content(std::min<uint64_t>(set.file_bytes, 65536));
        std::vector<char> expected(content.size());
        read_start(path, content);
        fill_pattern(0, expected.data(), expected.size());
        if (content != expected) {
            fprintf(stderr, "transfer_bench: %s has the wrong content\n", path.c_str());
            return false;
        }
    }
    return true;
}

// ---- runs ----

// The tool itself: "info" runs the device-link loop, which the script fills
// with the transfers (verbose is off for it, so no progress is drawn).
Measure run_tool(const Options &options, const Simulator &sim, const std::string &root) {
    return run_measured({options.bin + "/tarvobackup2", "-u", kUdid, "info", root}, sim,
                        options.work + "/tool.out");
}

// Baseline receive: the same bytes written by another thread into a
// socket, read here straight into the same files.
Measure baseline_receive(const std::string &root, const FileSet &set, size_t block) {
    settle();
    double device_cpu = 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        die("socketpair");
    }
    std::thread device([&] {
        struct CpuNote {
            double *out;
            double start = thread_cpu_s();
            ~CpuNote() { *out = thread_cpu_s() - start; }
        } note{&device_cpu};
        std::vector<char> chunk(kDeviceBlock);
        for (size_t f = 0; f < set.local_paths.size(); ++f) {
            for (uint64_t sent = 0; sent < set.file_bytes;) {
                const size_t piece =
                    static_cast<size_t>(std::min<uint64_t>(kDeviceBlock, set.file_bytes - sent));
                fill_pattern(sent, chunk.data(), piece);
                if (!write_all(fds[1], chunk.data(), piece)) {
                    return;
                }
                sent += piece;
            }
        }
    });
    Measure m;
    std::vector<char> buffer(block);
    const double start = now_s();
    const double cpu_start = thread_cpu_s();
    m.ok = true;
    for (const std::string &path : set.local_paths) {
        const int fd =
            open((root + "/" + path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            m.ok = false;
            break;
        }
        for (uint64_t done = 0; done < set.file_bytes;) {
            const size_t piece =
                static_cast<size_t>(std::min<uint64_t>(buffer.size(), set.file_bytes - done));
            if (!read_exactly(fds[0], buffer.data(), piece) ||
                !write_all(fd, buffer.data(), piece)) {
                m.ok = false;
                break;
            }
            done += piece;
        }
        close(fd);
    }
    m.cpu_s = thread_cpu_s() - cpu_start;
    m.wall_s = now_s() - start;
    close(fds[0]);
    device.join();
    close(fds[1]);
    m.device_cpu_s = device_cpu;
    return m;
}

// Baseline send: the files read here into a socket that another thread drains.
// Mirrors baseline_receive; kept apart so each reads as the plain program it stands for.
Measure baseline_send(const std::string &root, const FileSet &set, size_t block) {
    settle();
    double device_cpu = 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        die("socketpair");
    }
    std::thread device([&] {
        const double device_start = thread_cpu_s();
        std::vector<char> chunk(block);
        while (read(fds[1], chunk.data(), chunk.size()) > 0) {
        }
        device_cpu = thread_cpu_s() - device_start;
    });
    Measure m;
    std::vector<char> buffer(block);
    const double start = now_s();
    const double cpu_start = thread_cpu_s();
    m.ok = true;
    for (const std::string &path : set.local_paths) {
        const int fd = open((root + "/" + path).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            m.ok = false;
            break;
        }
        ssize_t n;
        while ((n = read(fd, buffer.data(), buffer.size())) > 0) {
            if (!write_all(fds[0], buffer.data(), static_cast<size_t>(n))) {
                m.ok = false;
                break;
            }
        }
        close(fd);
    }
    m.cpu_s = thread_cpu_s() - cpu_start;
    m.wall_s = now_s() - start;
    shutdown(fds[0], SHUT_WR);
    device.join();
    close(fds[0]);
    close(fds[1]);
    m.device_cpu_s = device_cpu;
    return m;
}

// ---- the handler in this process, for the cost of the progress output ----

class SocketChannel : public BackupChannel {
  public:
    explicit SocketChannel(int fd) : fd_(fd) {}
    int receive_message(plist_t *, char **) override { return MOBILEBACKUP2_E_MUX_ERROR; }
    int send_status_response(int, const char *, plist_t) override { return 0; }
    int send_raw(const char *data, uint32_t length, uint32_t *sent) override {
        *sent = write_all(fd_, data, length) ? length : 0;
        return *sent == length ? 0 : MOBILEBACKUP2_E_MUX_ERROR;
    }
    int receive_raw(char *data, uint32_t length, uint32_t *received) override {
        *received = 0;
        while (*received < length) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) {
                return *received ? MOBILEBACKUP2_E_MUX_ERROR : MOBILEBACKUP2_E_RECEIVE_TIMEOUT;
            }
            const ssize_t n = recv(fd_, data + *received, length - *received, 0);
            if (n <= 0) {
                return MOBILEBACKUP2_E_MUX_ERROR;
            }
            *received += static_cast<uint32_t>(n);
        }
        return 0;
    }

  private:
    int fd_;
};

std::string be32(uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    return std::string(bytes, 4);
}

Measure in_process_receive(const std::string &root, const FileSet &set, bool progress) {
    settle();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        die("socketpair");
    }
    std::thread device([&] {
        std::vector<char> chunk(kDeviceBlock);
        for (size_t f = 0; f < set.local_paths.size(); ++f) {
            const std::string names = be32(4) + "/dev" +
                                      be32(static_cast<uint32_t>(set.local_paths[f].size())) +
                                      set.local_paths[f];
            if (!write_all(fds[1], names.data(), names.size())) {
                return;
            }
            for (uint64_t sent = 0; sent < set.file_bytes;) {
                const size_t piece =
                    static_cast<size_t>(std::min<uint64_t>(kDeviceBlock, set.file_bytes - sent));
                const std::string header = be32(static_cast<uint32_t>(piece + 1)) + '\x0C';
                fill_pattern(sent, chunk.data(), piece);
                if (!write_all(fds[1], header.data(), header.size()) ||
                    !write_all(fds[1], chunk.data(), piece)) {
                    return;
                }
                sent += piece;
            }
            const std::string ok = be32(1) + '\0';
            if (!write_all(fds[1], ok.data(), ok.size())) {
                return;
            }
        }
        const std::string end = be32(0);
        write_all(fds[1], end.data(), end.size());
    });
    // Progress goes where a terminal's would, minus the terminal: /dev/null.
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null_fd, STDOUT_FILENO);
    verbose = progress;
    SocketChannel channel(fds[0]);
    const std::string message_xml =
        "<plist><array><string>DLMessageUploadFiles</string><dict/><real>0</real><integer>" +
        std::to_string(set.total()) + "</integer></array></plist>";
    plist_t message = nullptr;
    plist_from_xml(message_xml.c_str(), static_cast<uint32_t>(message_xml.size()), &message);
    PlistPtr owned(message);
    Measure m;
    const double start = now_s();
    const double cpu_start = thread_cpu_s();
    const int files = mb2_handle_receive_files(channel, message, root.c_str());
    m.cpu_s = thread_cpu_s() - cpu_start;
    m.wall_s = now_s() - start;
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(null_fd);
    verbose = true;
    m.ok = static_cast<size_t>(files) == set.local_paths.size();
    device.join();
    close(fds[0]);
    close(fds[1]);
    return m;
}

// ---- reporting ----

void report(const char *what, const FileSet &set, const Measure &tool, const Measure &base,
            const char *tool_label, const char *base_label, double session_s = 0) {
    const double gib = static_cast<double>(set.total()) / (1024.0 * 1024 * 1024);
    const double mb = static_cast<double>(set.total()) / 1e6;
    const double files = static_cast<double>(set.local_paths.size());
    printf("%s: %zu files of %llu bytes (%.2f GiB)\n", what, set.local_paths.size(),
           static_cast<unsigned long long>(set.file_bytes), gib);
    for (const auto &[label, m] : {std::pair{tool_label, tool}, std::pair{base_label, base}}) {
        if (!m.ok) {
            printf("  %-22s failed\n", label);
            continue;
        }
        printf("  %-22s %8.3f s %9.1f MB/s %10.0f files/s %7.2f CPU s/GiB", label, m.wall_s,
               mb / m.wall_s, files / m.wall_s, m.cpu_s / gib);
        if (m.peak_kib > 0) {
            printf("  peak %.1f MiB", static_cast<double>(m.peak_kib) / 1024);
        }
        if (m.device_cpu_s > 0) {
            printf("  device CPU %.2f s", m.device_cpu_s);
        }
        printf("\n");
    }
    if (tool.ok && base.ok) {
        printf("  %-22s %.1f %% of the baseline's throughput\n", "",
               100 * base.wall_s / tool.wall_s);
    }
    if (tool.ok && base.ok && session_s > 0 && tool.wall_s > session_s) {
        const double net = tool.wall_s - session_s;
        printf(
            "  %-22s less %.3f s of session set-up: %.1f MB/s, %.0f files/s, %.1f %% of the "
            "baseline\n",
            "", session_s, mb / net, files / net, 100 * base.wall_s / net);
    }
    fflush(stdout);
}

Options parse(int argc, char **argv) {
    Options options;
    auto take_own = [&](const std::string &arg, ArgList &args) {
        if (arg == "--bin") {
            options.bin = args.value();
        } else if (arg == "--large-mib") {
            options.large_bytes = std::stoull(args.value()) << 20;
        } else if (arg == "--large-file-mib") {
            options.large_file_bytes = std::stoull(args.value()) << 20;
        } else if (arg == "--small-files") {
            options.small_files = std::stoull(args.value());
        } else if (arg == "--baseline-kib") {
            options.baseline_block = std::max<size_t>(1, std::stoull(args.value())) << 10;
        } else {
            return false;
        }
        return true;
    };
    parse_options(argc, argv, options, "bench/transfer_bench.cpp", take_own);
    return options;
}

}  // namespace

int main(int argc, char **argv) {
    set_program_name("transfer_bench");
    signal(SIGPIPE, SIG_IGN);
    const Options options = parse(argc, argv);
    printf("work folder %s, %d rounds, best round shown\n", options.work.c_str(), options.rounds);

    const FileSet large = make_set(options, "L", options.large_bytes / options.large_file_bytes,
                                   options.large_file_bytes);
    const FileSet small = make_set(options, "s", options.small_files, options.small_file_bytes);

    std::string restore_root;
    if (wanted(options, "large") || wanted(options, "restore")) {
        Simulator sim(options.bin, options.work,
                      {script_fixture(options, upload_script(large, large.local_paths.size()))});
        sim.warm_up(kUdid);
        std::vector<Measure> tool_runs;
        std::vector<Measure> base_runs;
        for (int round = 0; round < options.rounds; ++round) {
            // Odd rounds run the tool first, so that neither side always
            // follows the other.
            const std::string tool_root = fresh_root(options);
            const std::string base_root = fresh_root(options);
            for (int turn = 0; turn < 2; ++turn) {
                if ((turn == 0) == (round % 2 == 1)) {
                    tool_runs.push_back(run_tool(options, sim, tool_root));
                    tool_runs.back().ok = tool_runs.back().ok && verify_set(tool_root, large);
                } else {
                    base_runs.push_back(baseline_receive(base_root, large, options.baseline_block));
                }
            }
            remove_tree(base_root);
            remove_tree(restore_root);
            restore_root = tool_root;
        }
        if (wanted(options, "large")) {
            report("(a) receive, large files", large, best_of(tool_runs), best_of(base_runs),
                   "tarvobackup2", "socket-to-file copy", sim.session_cost(kUdid));
        }
    }
    if (wanted(options, "restore")) {
        Simulator sim(options.bin, options.work, {script_fixture(options, download_script(large))});
        sim.warm_up(kUdid);
        std::vector<Measure> tool_runs;
        std::vector<Measure> base_runs;
        for (int round = 0; round < options.rounds; ++round) {
            base_runs.push_back(baseline_send(restore_root, large, options.baseline_block));
            tool_runs.push_back(run_tool(options, sim, restore_root));
        }
        report("(c) send (restore), large files", large, best_of(tool_runs), best_of(base_runs),
               "tarvobackup2", "file-to-socket copy", sim.session_cost(kUdid));
    }
    remove_tree(restore_root);
    std::vector<std::string> small_roots;
    if (wanted(options, "small")) {
        Simulator sim(options.bin, options.work,
                      {script_fixture(options, upload_script(small, 1000))});
        sim.warm_up(kUdid);
        std::vector<Measure> tool_runs;
        std::vector<Measure> base_runs;
        for (int round = 0; round < options.rounds; ++round) {
            const std::string tool_root = fresh_root(options);
            const std::string base_root = fresh_root(options);
            small_roots.push_back(tool_root);
            small_roots.push_back(base_root);
            for (int turn = 0; turn < 2; ++turn) {
                if ((turn == 0) == (round % 2 == 1)) {
                    tool_runs.push_back(run_tool(options, sim, tool_root));
                    tool_runs.back().ok = tool_runs.back().ok && verify_set(tool_root, small);
                } else {
                    base_runs.push_back(baseline_receive(base_root, small, options.baseline_block));
                }
            }
        }
        report("(b) receive, small files", small, best_of(tool_runs), best_of(base_runs),
               "tarvobackup2", "socket-to-file copy", sim.session_cost(kUdid));
    }
    if (wanted(options, "progress")) {
        for (const FileSet *set : {&small, &large}) {
            std::vector<Measure> with_bar;
            std::vector<Measure> without_bar;
            for (int round = 0; round < options.rounds; ++round) {
                small_roots.push_back(fresh_root(options));
                without_bar.push_back(in_process_receive(small_roots.back(), *set, false));
                small_roots.push_back(fresh_root(options));
                with_bar.push_back(in_process_receive(small_roots.back(), *set, true));
                if (set == &large) {
                    remove_tree(small_roots.back());
                    remove_tree(small_roots[small_roots.size() - 2]);
                }
            }
            report(set == &small ? "progress output, small files (handler in process)"
                                 : "progress output, large files (handler in process)",
                   *set, best_of(with_bar), best_of(without_bar), "bar drawn", "verbose off");
        }
    }
    for (const std::string &root : small_roots) {
        remove_tree(root);
    }
    if (options.made_work) {
        remove_tree(options.work);
    }
    return 0;
}
