// Whole commands at a phone's scale: tarvobackup2's backup (full, and
// incremental after 1 % of the files changed), restore and unback of a
// synthetic device of 100,000 files, a full backup of 1,000,000 small
// files, the start of a short command, and the progress output to a file
// and to a pseudo-terminal. Each figure stands beside a baseline run in the
// same session: the same bytes and file names moved between a socket and
// the disk by a plain program, with a thread playing the device.
//
// Usage: backup_bench [--work DIR] [--images DIR] [--files N] [--million N] [--rounds N]
//                     [--only start|full|incremental|restore|unback|million|progress]
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <plist/plist.h>

#include "backup_folder.h"
#include "bench_support.h"
#include "synthetic_content.h"

using namespace bench;

namespace {

constexpr const char *kUdid = "00008120-001A2B3C4D5E6F7A";
constexpr size_t kDeviceBlock = 32768;     // what devices send per data frame
constexpr size_t kBaselineBlock = 131072;  // the plain program's reads and writes

struct Options : RunOptions {
    std::string images;  // where the scratch file systems' images lie
    uint64_t files = 100000;
    uint64_t million = 1000000;
};

// ---- the synthetic devices ----

/// What a fixture's "SyntheticContent" says; the bench writes the fixture
/// from it and walks the same tree for its baselines.
tarvosim::SyntheticContent phone_of(uint64_t files) {
    tarvosim::SyntheticContent c;
    c.seed = 1;
    c.files = files;
    c.domains = tarvosim::default_synthetic_domains();
    c.large_files = files / 1000;
    c.large_max_size = 48ull << 20;
    return c;
}

tarvosim::SyntheticContent small_files_of(uint64_t files) {
    tarvosim::SyntheticContent c = phone_of(files);
    c.large_files = 0;
    c.max_size = 4096;
    return c;
}

tarvosim::SyntheticContent large_files_of(uint64_t files, uint64_t size) {
    tarvosim::SyntheticContent c = phone_of(files);
    c.large_files = files;
    c.large_min_size = size;
    c.large_max_size = size;
    return c;
}

std::string write_fixture(const std::string &folder, const tarvosim::SyntheticContent &c) {
    std::ifstream in(std::string(TARVO_SOURCE_DIR) + "/fixtures/iphone/device.plist",
                     std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    plist_t device = nullptr;
    plist_from_memory(text.data(), static_cast<uint32_t>(text.size()), &device);
    if (!device) {
        die("cannot read the bundled iPhone's device.plist");
    }
    // Key by key, not through the simulator's records, so that the bench checks what it reads.
    plist_t synthetic = plist_new_dict();
    plist_dict_set_item(synthetic, "Seed", plist_new_uint(c.seed));
    plist_dict_set_item(synthetic, "Files", plist_new_uint(c.files));
    plist_dict_set_item(synthetic, "MinSize", plist_new_uint(c.min_size));
    plist_dict_set_item(synthetic, "MaxSize", plist_new_uint(c.max_size));
    plist_dict_set_item(synthetic, "LargeFiles", plist_new_uint(c.large_files));
    plist_dict_set_item(synthetic, "LargeMinSize", plist_new_uint(c.large_min_size));
    plist_dict_set_item(synthetic, "LargeMaxSize", plist_new_uint(c.large_max_size));
    plist_dict_set_item(device, "SyntheticContent", synthetic);
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(device, &xml, &length);
    plist_free(device);
    std::filesystem::create_directories(folder);
    write_text(folder + "/device.plist", std::string(xml, length));
    free(xml);
    return folder;
}

// The files of a tree in walk order, with their backup names, sizes and
// a way to their bytes; only those `keep` selects.
struct DeviceFile {
    std::string name;  // "<xx>/<fileID>" inside the device's backup folder
    uint64_t size = 0;
    std::function<std::unique_ptr<tarvosim::ContentReader>()> open;
};

struct FileList {
    std::vector<DeviceFile> files;
    uint64_t bytes = 0;
};

FileList files_of(const tarvosim::SyntheticTree &tree, uint64_t generation,
                  const std::function<bool(uint64_t index)> &keep) {
    FileList list;
    tarvosim::SyntheticWalk walk(tree, generation);
    tarvosim::ContentEntry entry;
    uint64_t index = 0;
    while (walk.next(&entry)) {
        if (entry.kind != tarvosim::EntryKind::kFile) {
            continue;
        }
        if (keep(index++)) {
            const std::string id = tarvosim::file_id_of(entry.domain, entry.relative_path);
            list.files.push_back({id.substr(0, 2) + "/" + id, entry.size, entry.open});
            list.bytes += entry.size;
        }
    }
    return list;
}

void make_hex_folders(const std::string &root) {
    for (int d = 0; d < 256; ++d) {
        char name[4];
        snprintf(name, sizeof name, "%02x", d);
        std::filesystem::create_directories(root + "/" + name);
    }
}

// ---- baselines ----

// One end of a socket pair on a thread of its own, timed by its own clock.
class DeviceThread {
  public:
    explicit DeviceThread(std::function<void(int fd)> work) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) {
            die("socketpair");
        }
        thread_ = std::thread([this, work = std::move(work)] {
            const double start = thread_cpu_s();
            work(fds_[1]);
            cpu_s_ = thread_cpu_s() - start;
            shutdown(fds_[1], SHUT_WR);
        });
    }
    ~DeviceThread() { join(); }
    int host_fd() const { return fds_[0]; }
    double join() {
        if (thread_.joinable()) {
            shutdown(fds_[0], SHUT_WR);
            thread_.join();
            close(fds_[0]);
            close(fds_[1]);
        }
        return cpu_s_;
    }

  private:
    int fds_[2] = {-1, -1};
    std::thread thread_;
    double cpu_s_ = 0;
};

// The device's side of a receive: each file's bytes made as tarvosim makes
// them and written in device-sized blocks.
void send_made_files(int fd, const FileList &list) {
    std::vector<uint8_t> block(kDeviceBlock);
    for (const DeviceFile &file : list.files) {
        auto reader = file.open();
        for (uint64_t sent = 0; sent < file.size;) {
            const size_t piece =
                static_cast<size_t>(std::min<uint64_t>(block.size(), file.size - sent));
            if (!reader || !reader->read(std::span(block.data(), piece)) ||
                !write_all(fd, reinterpret_cast<const char *>(block.data()), piece)) {
                return;
            }
            sent += piece;
        }
    }
}

// Reads each file's bytes from `fd` into root/<name>; the sizes are known
// to both ends, as the names are.
bool receive_into_files(int fd, const std::string &root, const FileList &list) {
    std::vector<char> buffer(kBaselineBlock);
    for (const DeviceFile &file : list.files) {
        const int out =
            open((root + "/" + file.name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0) {
            return false;
        }
        bool ok = true;
        for (uint64_t done = 0; ok && done < file.size;) {
            const size_t piece =
                static_cast<size_t>(std::min<uint64_t>(buffer.size(), file.size - done));
            ok = read_exactly(fd, buffer.data(), piece) && write_all(out, buffer.data(), piece);
            done += piece;
        }
        close(out);
        if (!ok) {
            return false;
        }
    }
    return true;
}

// The files of `from` read in baseline blocks into `fd`.
void send_stored_files(int fd, const std::string &from, const FileList &list) {
    std::vector<char> buffer(kBaselineBlock);
    for (const DeviceFile &file : list.files) {
        const int in = open((from + "/" + file.name).c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            return;
        }
        ssize_t n;
        while ((n = read(in, buffer.data(), buffer.size())) > 0) {
            if (!write_all(fd, buffer.data(), static_cast<size_t>(n))) {
                close(in);
                return;
            }
        }
        close(in);
    }
}

/// A backup's receive without the protocol: the device thread makes the
/// bytes, this thread writes them under the backup's file names.
Measure baseline_receive(const std::string &root, const FileList &list) {
    make_hex_folders(root);
    settle();
    DeviceThread device([&](int fd) { send_made_files(fd, list); });
    Measure m;
    const double start = now_s();
    const double cpu_start = thread_cpu_s();
    m.ok = receive_into_files(device.host_fd(), root, list);
    m.cpu_s = thread_cpu_s() - cpu_start;
    m.wall_s = now_s() - start;
    m.device_cpu_s = device.join();
    return m;
}

/// A restore without the protocol: this thread reads the stored files into
/// the socket, the device thread writes them out again as a device would.
Measure baseline_send(const std::string &from, const std::string &device_root,
                      const FileList &list) {
    make_hex_folders(device_root);
    settle();
    bool device_ok = false;
    DeviceThread device([&](int fd) { device_ok = receive_into_files(fd, device_root, list); });
    Measure m;
    const double start = now_s();
    const double cpu_start = thread_cpu_s();
    send_stored_files(device.host_fd(), from, list);
    m.cpu_s = thread_cpu_s() - cpu_start;
    m.device_cpu_s = device.join();
    m.wall_s = now_s() - start;
    m.ok = device_ok;
    return m;
}

/// An unback without the protocol: the stored files travel to the device
/// thread and back, and are written once more on this side.
Measure baseline_round_trip(const std::string &from, const std::string &to, const FileList &list) {
    make_hex_folders(to);
    settle();
    int back[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, back) != 0) {
        die("socketpair");
    }
    Measure m;
    const double start = now_s();
    std::thread reader([&] {
        const double cpu_start = thread_cpu_s();
        m.ok = receive_into_files(back[0], to, list);
        m.cpu_s += thread_cpu_s() - cpu_start;
    });
    DeviceThread device([&](int fd) {
        std::vector<char> buffer(kBaselineBlock);
        ssize_t n;
        while ((n = read(fd, buffer.data(), buffer.size())) > 0) {
            if (!write_all(back[1], buffer.data(), static_cast<size_t>(n))) {
                break;
            }
        }
        shutdown(back[1], SHUT_WR);
    });
    const double cpu_start = thread_cpu_s();
    send_stored_files(device.host_fd(), from, list);
    const double sender_cpu = thread_cpu_s() - cpu_start;
    m.device_cpu_s = device.join();
    reader.join();
    m.cpu_s += sender_cpu;
    m.wall_s = now_s() - start;
    close(back[0]);
    close(back[1]);
    return m;
}

// ---- checks ----

// A sample of the tool's files against the bytes the tree makes.
bool backup_matches(const std::string &backup, const FileList &list) {
    const size_t step = std::max<size_t>(1, list.files.size() / 200);
    std::vector<char> stored(kDeviceBlock);
    std::vector<uint8_t> made(kDeviceBlock);
    for (size_t i = 0; i < list.files.size(); i += step) {
        const DeviceFile &file = list.files[i];
        std::ifstream in(backup + "/" + file.name, std::ios::binary);
        auto reader = file.open();
        bool same = in && reader;
        for (uint64_t done = 0; same && done < file.size;) {
            const size_t piece =
                static_cast<size_t>(std::min<uint64_t>(made.size(), file.size - done));
            same = reader->read(std::span(made.data(), piece)) &&
                   in.read(stored.data(), static_cast<std::streamsize>(piece)) &&
                   memcmp(stored.data(), made.data(), piece) == 0;
            done += piece;
        }
        if (!same || in.peek() != std::char_traits<char>::eof()) {
            fprintf(stderr, "backup_bench: %s is not the device's file\n", file.name.c_str());
            return false;
        }
    }
    return true;
}

// ---- reporting ----

void report(const char *what, uint64_t files, uint64_t bytes, const Measure &tool,
            const Measure &base) {
    const double gib = static_cast<double>(bytes) / (1024.0 * 1024 * 1024);
    printf("%s: %llu files, %.2f GiB\n", what, static_cast<unsigned long long>(files), gib);
    for (const auto &[label, m] : {std::pair{"tarvobackup2", tool}, std::pair{"baseline", base}}) {
        if (!m.ok) {
            printf("  %-13s failed\n", label);
            continue;
        }
        printf("  %-13s %8.2f s %8.1f MB/s %8.0f files/s  CPU %6.2f s", label, m.wall_s,
               static_cast<double>(bytes) / 1e6 / m.wall_s, static_cast<double>(files) / m.wall_s,
               m.cpu_s);
        if (m.peak_kib > 0) {
            printf("  peak %.1f MiB", static_cast<double>(m.peak_kib) / 1024);
        }
        printf("  device CPU %6.2f s\n", m.device_cpu_s);
    }
    if (tool.ok && base.ok) {
        printf("  %-13s %.1f %% of the baseline's files/s\n", "", 100 * base.wall_s / tool.wall_s);
    }
    fflush(stdout);
}

Measure run_backup(const Options &options, const Simulator &sim, const std::string &root,
                   const std::string &label, int stdout_fd = -1) {
    return run_measured({options.bin + "/tarvobackup2", "-u", kUdid, "backup", root}, sim,
                        stdout_fd >= 0 ? "" : options.work + "/" + label + ".out", stdout_fd);
}

void set_generation(const Simulator &sim, uint64_t generation) {
    const std::string folder = sim.state() + "/devices/" + kUdid + "/synthetic";
    std::filesystem::create_directories(folder);
    write_text(folder + "/generation", std::to_string(generation) + "\n");
}

// ---- parts ----

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void bench_start(const Options &options) {
    const std::string work = options.work + "/start";
    std::filesystem::create_directories(work + "/backups");
    Simulator sim(options.bin, work, {std::string(TARVO_SOURCE_DIR) + "/fixtures/iphone"});
    sim.warm_up(kUdid);
    run_measured({options.bin + "/tarvobackup2", "-u", kUdid, "backup", work + "/backups"}, sim,
                 work + "/backup.out");
    const std::vector<std::pair<const char *, std::vector<std::string>>> commands = {
        {"tarvobackup2 info",
         {options.bin + "/tarvobackup2", "-u", kUdid, "info", work + "/backups"}},
        {"tarvoinfo -k DeviceName", {options.bin + "/tarvoinfo", "-u", kUdid, "-k", "DeviceName"}},
    };
    printf("start of a short command against the simulated iPhone, median of 20 runs\n");
    for (const auto &[label, args] : commands) {
        std::vector<double> wall;
        std::vector<double> cpu;
        for (int i = 0; i < 20; ++i) {
            const Measure m = run_measured(args, sim, work + "/short.out");
            wall.push_back(m.wall_s);
            cpu.push_back(m.cpu_s);
        }
        printf("  %-24s wall %5.1f ms  CPU %5.1f ms  (slowest %5.1f ms)\n", label,
               median(wall) * 1000, median(cpu) * 1000,
               *std::max_element(wall.begin(), wall.end()) * 1000);
    }
    fflush(stdout);
    remove_tree(work);
}

// The 100,000-file device: full, incremental, restore and unback, each
// beside its baseline. The tool's backups, the baselines' files and the
// device's state each live on a file system of their own.
void bench_phone(const Options &options) {
    const tarvosim::SyntheticContent config = phone_of(options.files);
    const std::string work = options.work + "/phone";
    std::filesystem::create_directories(work);
    const std::string fixture = write_fixture(work + "/fixture", config);
    const tarvosim::SyntheticTree tree(std::make_shared<tarvosim::SyntheticContent>(config));
    const FileList all = files_of(tree, 0, [](uint64_t) { return true; });
    ScratchFileSystem device_fs(work, "device-fs", 24, options.images);
    ScratchFileSystem tool_fs(work, "tool-fs", 24, options.images);
    ScratchFileSystem base_fs(work, "base-fs", 24, options.images);
    if (!tool_fs.own_file_system()) {
        printf("(no file system of its own per run: run as root for steadier figures)\n");
    }
    Simulator sim(options.bin, device_fs.path(), {fixture});
    sim.warm_up(kUdid);

    const std::string tool_root = tool_fs.path() + "/backups";
    const std::string tool_backup = tool_root + "/" + kUdid;
    std::vector<Measure> tool_runs;
    std::vector<Measure> base_runs;
    for (int round = 0; round < options.rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (round % 2 == 0)) {
                tool_fs.renew();
                std::filesystem::create_directories(tool_root);
                set_generation(sim, 0);
                tool_runs.push_back(run_backup(options, sim, tool_root, "full"));
                tool_runs.back().ok = tool_runs.back().ok && backup_matches(tool_backup, all);
            } else {
                base_fs.renew();
                base_runs.push_back(baseline_receive(base_fs.path() + "/backup", all));
            }
        }
    }
    if (wanted(options, "full")) {
        report("full backup", all.files.size(), all.bytes, best_of(tool_runs), best_of(base_runs));
    }

    if (wanted(options, "incremental")) {
        set_generation(sim, 1);
        const FileList changed = files_of(
            tree, 1, [&](uint64_t i) { return tree.version_of(i, 1) != tree.version_of(i, 0); });
        base_fs.renew();
        const Measure base = baseline_receive(base_fs.path() + "/backup", changed);
        Measure tool = run_backup(options, sim, tool_root, "incremental");
        tool.ok = tool.ok && backup_matches(tool_backup, changed);
        report("incremental backup (the changed files)", changed.files.size(), changed.bytes, tool,
               base);
    }

    const FileList now =
        files_of(tree, wanted(options, "incremental") ? 1 : 0, [](uint64_t) { return true; });
    if (wanted(options, "restore")) {
        base_fs.renew();
        const Measure base = baseline_send(tool_backup, base_fs.path() + "/device", now);
        const Measure tool = run_measured({options.bin + "/tarvobackup2", "-u", kUdid, "restore",
                                           "--system", "--no-reboot", tool_root},
                                          sim, work + "/restore.out");
        report("restore", now.files.size(), now.bytes, tool, base);
    }
    if (wanted(options, "unback")) {
        base_fs.renew();
        const Measure base = baseline_round_trip(tool_backup, base_fs.path() + "/unback", now);
        const Measure tool =
            run_measured({options.bin + "/tarvobackup2", "-u", kUdid, "unback", tool_root}, sim,
                         work + "/unback.out");
        report("unback", now.files.size(), now.bytes, tool, base);
    }
    printf("  tarvosim's resident memory at the end: %.1f MiB\n\n",
           static_cast<double>(sim.rss_kib()) / 1024);
}

void bench_million(const Options &options) {
    const tarvosim::SyntheticContent config = small_files_of(options.million);
    const std::string work = options.work + "/million";
    std::filesystem::create_directories(work);
    const std::string fixture = write_fixture(work + "/fixture", config);
    const tarvosim::SyntheticTree tree(std::make_shared<tarvosim::SyntheticContent>(config));
    const FileList all = files_of(tree, 0, [](uint64_t) { return true; });
    ScratchFileSystem device_fs(work, "device-fs", 4, options.images);
    ScratchFileSystem files_fs(work, "files-fs", 24, options.images);
    Simulator sim(options.bin, device_fs.path(), {fixture});
    sim.warm_up(kUdid);
    const Measure base = baseline_receive(files_fs.path() + "/backup", all);
    files_fs.renew();
    const std::string tool_root = files_fs.path() + "/backups";
    std::filesystem::create_directories(tool_root);
    Measure tool = run_backup(options, sim, tool_root, "million");
    tool.ok = tool.ok && backup_matches(tool_root + "/" + kUdid, all);
    report("full backup of small files", all.files.size(), all.bytes, tool, base);
    printf("  tarvosim's resident memory at the end: %.1f MiB\n\n",
           static_cast<double>(sim.rss_kib()) / 1024);
}

// What the backup's own output costs: the same large-file backup with
// standard output to /dev/null, to a file and to a pseudo-terminal that a
// thread drains as a terminal would.
void bench_progress(const Options &options) {
    const tarvosim::SyntheticContent config = large_files_of(256, 8ull << 20);
    const std::string work = options.work + "/progress";
    std::filesystem::create_directories(work);
    const std::string fixture = write_fixture(work + "/fixture", config);
    ScratchFileSystem device_fs(work, "device-fs", 4, options.images);
    ScratchFileSystem files_fs(work, "files-fs", 8, options.images);
    Simulator sim(options.bin, device_fs.path(), {fixture});
    sim.warm_up(kUdid);
    const double gib = 256.0 * 8 / 1024;
    printf("progress output of a backup of 256 files of 8 MiB (%.0f GiB), verbose on\n", gib);
    for (const char *where : {"/dev/null", "a file", "a pseudo-terminal"}) {
        std::vector<Measure> runs;
        for (int round = 0; round < std::max(2, options.rounds); ++round) {
            files_fs.renew();
            const std::string root = files_fs.path() + "/backups";
            std::filesystem::create_directories(root);
            if (strcmp(where, "/dev/null") == 0) {
                const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
                runs.push_back(run_backup(options, sim, root, "progress", null_fd));
                close(null_fd);
            } else if (strcmp(where, "a file") == 0) {
                runs.push_back(run_backup(options, sim, root, "progress"));
            } else {
                int master = -1;
                int slave = -1;
                if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
                    die("openpty");
                }
                std::thread drain([master] {
                    char buffer[65536];
                    while (read(master, buffer, sizeof buffer) > 0) {
                    }
                });
                runs.push_back(run_backup(options, sim, root, "progress", slave));
                close(slave);
                drain.join();
                close(master);
            }
        }
        const Measure m = best_of(runs);
        printf("  to %-18s %7.2f s  host CPU %5.2f s/GiB  device CPU %5.2f s%s\n", where, m.wall_s,
               m.cpu_s / gib, m.device_cpu_s, m.ok ? "" : "  (failed)");
    }
    printf("\n");
    fflush(stdout);
}

Options parse(int argc, char **argv) {
    Options options;
    auto take_own = [&](const std::string &arg, ArgList &args) {
        if (arg == "--images") {
            options.images = args.value();
        } else if (arg == "--files") {
            options.files = std::max<uint64_t>(1000, std::stoull(args.value()));
        } else if (arg == "--million") {
            options.million = std::max<uint64_t>(1000, std::stoull(args.value()));
        } else {
            return false;
        }
        return true;
    };
    parse_options(argc, argv, options, "bench/backup_bench.cpp", take_own);
    return options;
}

}  // namespace

int main(int argc, char **argv) {
    set_program_name("backup_bench");
    signal(SIGPIPE, SIG_IGN);
    const Options options = parse(argc, argv);
    printf("work folder %s\n\n", options.work.c_str());
    if (wanted(options, "start")) {
        bench_start(options);
    }
    for (const char *part : {"full", "incremental", "restore", "unback"}) {
        if (wanted(options, part)) {
            bench_phone(options);
            break;
        }
    }
    if (wanted(options, "million")) {
        bench_million(options);
    }
    if (wanted(options, "progress")) {
        bench_progress(options);
    }
    if (options.made_work) {
        remove_tree(options.work);
    }
    return 0;
}
