// What the benchmarks share (see bench_support.h).
#include "bench_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

extern char **environ;

namespace bench {
namespace {

constexpr int kChildTimeoutS = 3600;
const char *program_name = "bench";

long status_field_kib(pid_t pid, const char *field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            return atol(line.c_str() + key.size());
        }
    }
    return 0;
}

}  // namespace

void set_program_name(const char *name) {
    program_name = name;
}

void die(const std::string &why) {
    fprintf(stderr, "%s: %s\n", program_name, why.c_str());
    exit(1);
}

void settle() {
    sync();
}

double now_s() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double thread_cpu_s() {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double rusage_cpu_s(const struct rusage &usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

namespace {

/// Calls `step` (read or write) until `length` bytes have moved.
template <typename Buffer, typename Step>
bool move_all(int fd, Buffer *data, size_t length, Step step) {
    while (length > 0) {
        const ssize_t n = step(fd, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool write_all(int fd, const char *data, size_t length) {
    return move_all(fd, data, length, ::write);
}

bool read_exactly(int fd, char *data, size_t length) {
    return move_all(fd, data, length, ::read);
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        die("cannot write " + path);
    }
}

std::string own_folder() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return ".";
    }
    self[n] = '\0';
    return std::filesystem::path(self).parent_path().string();
}

std::string make_work_folder() {
    char pattern[] = "/var/tmp/tarvo-bench-XXXXXX";
    const char *made = mkdtemp(pattern);
    if (!made) {
        die("cannot make a work folder in /var/tmp");
    }
    return made;
}

void remove_tree(const std::string &path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void parse_options(int argc, char **argv, RunOptions &options, const char *source_file,
                   const std::function<bool(const std::string &arg, ArgList &args)> &take_own) {
    options.bin = own_folder();
    ArgList args(argc, argv);
    while (args.next()) {
        const std::string arg = args.name();
        if (arg == "--work") {
            options.work = args.value();
        } else if (arg == "--rounds") {
            options.rounds = std::max(1, atoi(args.value().c_str()));
        } else if (arg == "--only") {
            options.only = args.value();
        } else if (!take_own(arg, args)) {
            die("unknown argument " + arg + " (see the comment at the top of " + source_file + ")");
        }
    }
    if (options.work.empty()) {
        options.work = make_work_folder();
        options.made_work = true;
    }
    std::filesystem::create_directories(options.work);
}

bool wanted(const RunOptions &options, const char *part) {
    return options.only.empty() || options.only == part;
}

// ---- ScratchFileSystem ----

namespace {

bool run_quietly(const std::string &command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

ScratchFileSystem::ScratchFileSystem(const std::string &work, const std::string &name, int size_gib,
                                     const std::string &image_folder)
    : image_((image_folder.empty() ? work : image_folder) + "/" + name + ".img"),
      mount_point_(work + "/" + name),
      size_gib_(size_gib) {
    can_mount_ = geteuid() == 0 && run_quietly("command -v mkfs.ext4");
    renew();
}

ScratchFileSystem::~ScratchFileSystem() {
    unmount();
    std::filesystem::remove(image_);
}

void ScratchFileSystem::unmount() {
    if (mounted_ && !run_quietly("umount '" + mount_point_ + "'")) {
        die("cannot unmount " + mount_point_);
    }
    mounted_ = false;
}

void ScratchFileSystem::renew() {
    unmount();
    remove_tree(mount_point_);
    std::filesystem::create_directories(mount_point_);
    if (!can_mount_) {
        return;
    }
    // Enough inodes for a million files and their folders whatever the size.
    std::filesystem::remove(image_);
    if (!run_quietly("truncate -s " + std::to_string(size_gib_) + "G '" + image_ + "'") ||
        !run_quietly("mkfs.ext4 -q -F -O ^has_journal -N 3000000 '" + image_ + "'") ||
        !run_quietly("mount -o loop '" + image_ + "' '" + mount_point_ + "'")) {
        fprintf(stderr, "%s: cannot make a file system in %s; runs use a plain folder\n",
                program_name, image_.c_str());
        can_mount_ = false;
        return;
    }
    mounted_ = true;
}

Measure best_of(const std::vector<Measure> &runs) {
    Measure best;
    for (const Measure &m : runs) {
        if (m.ok && (!best.ok || m.wall_s < best.wall_s)) {
            best = m;
        }
    }
    return best;
}

// ---- Child ----

Child::Child(const std::vector<std::string> &args, const std::vector<std::string> &env_extra,
             const std::string &stdout_path, int stdout_fd) {
    std::vector<std::string> env_storage;
    for (char **e = environ; *e; ++e) {
        env_storage.push_back(*e);
    }
    for (const std::string &extra : env_extra) {
        const std::string key = extra.substr(0, extra.find('=') + 1);
        std::erase_if(env_storage, [&](const std::string &e) { return e.rfind(key, 0) == 0; });
        env_storage.push_back(extra);
    }
    std::vector<std::string> args_storage = args;
    std::vector<char *> argv;
    for (std::string &a : args_storage) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &e : env_storage) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdout_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

Child::~Child() {
    stop();
}

int Child::wait(struct rusage *usage, long *peak_kib) {
    const double deadline = now_s() + kChildTimeoutS;
    int status = 0;
    while (pid_ > 0) {
        if (peak_kib) {
            *peak_kib = std::max(*peak_kib, high_water_kib());
        }
        const pid_t done = wait4(pid_, &status, WNOHANG, usage);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (now_s() > deadline) {
            stop();
            return -1;
        }
        usleep(2000);
    }
    return -1;
}

long Child::high_water_kib() const {
    return status_field_kib(pid_, "VmHWM");
}

long Child::rss_kib() const {
    return status_field_kib(pid_, "VmRSS");
}

void Child::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 250 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
            usleep(20000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

double Child::cpu_s() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t after_name = stat.rfind(')');
    if (after_name == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(after_name + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            user = std::stoull(field);
        } else if (i == 15) {
            system = std::stoull(field);
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- Simulator ----

Simulator::Simulator(const std::string &bin, const std::string &work,
                     const std::vector<std::string> &fixtures)
    : bin_(bin), work_(work), socket_(work + "/mux.sock"), state_(work + "/state") {
    std::filesystem::create_directories(state_);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        die("pipe");
    }
    std::vector<std::string> args{bin + "/tarvosim", "--socket", socket_, "--state", state_};
    for (const std::string &fixture : fixtures) {
        args.push_back("--device");
        args.push_back(fixture);
    }
    child_ = std::make_unique<Child>(args, std::vector<std::string>{}, "", out[1]);
    close(out[1]);
    std::string seen;
    const double deadline = now_s() + 30;
    while (seen.find("listening on") == std::string::npos && now_s() < deadline) {
        struct pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            char buffer[512];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            seen.append(buffer, static_cast<size_t>(n));
        }
    }
    // Its later output goes nowhere: the pipe is closed only once the
    // simulator is gone.
    output_fd_ = out[0];
    if (seen.find("listening on") == std::string::npos) {
        die("tarvosim did not start: " + seen);
    }
}

Simulator::~Simulator() {
    child_.reset();
    close(output_fd_);
}

void Simulator::warm_up(const std::string &udid) const {
    Child tool({bin_ + "/tarvobackup2", "-u", udid, "list", work_}, env(), work_ + "/warm-up.out");
    struct rusage usage;
    tool.wait(&usage);
}

double Simulator::session_cost(const std::string &udid) const {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        Child tool({bin_ + "/tarvobackup2", "-u", udid, "list", work_}, env(),
                   work_ + "/session.out");
        struct rusage usage;
        const double start = now_s();
        tool.wait(&usage);
        best = std::min(best, now_s() - start);
    }
    return best;
}

std::vector<std::string> Simulator::env() const {
    return {"USBMUXD_SOCKET_ADDRESS=UNIX:" + socket_, "TARVO_LOCKDOWN_DIR=" + state_};
}

Measure run_measured(const std::vector<std::string> &args, const Simulator &sim,
                     const std::string &stdout_path, int stdout_fd) {
    settle();
    Measure m;
    Child tool(args, sim.env(), stdout_path, stdout_fd);
    struct rusage usage = {};
    const double start = now_s();
    const double device_start = sim.cpu_s();
    long peak_kib = 0;
    const int status = tool.wait(&usage, &peak_kib);
    m.wall_s = now_s() - start;
    m.device_cpu_s = sim.cpu_s() - device_start;
    m.cpu_s = rusage_cpu_s(usage);
    m.peak_kib = peak_kib;
    m.ok = status == 0;
    if (!m.ok) {
        fprintf(stderr, "%s: %s ended with %d; see %s\n", program_name, args[0].c_str(), status,
                stdout_path.empty() ? "its output" : stdout_path.c_str());
    }
    return m;
}

}  // namespace bench
