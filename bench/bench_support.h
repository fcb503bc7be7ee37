/*
 * What the benchmarks share: clocks, whole-buffer reads and writes, child
 * processes with their CPU time and memory high-water mark, and a tarvosim
 * run on its own socket and state folder. Benchmarks are run by hand and
 * never by ctest; their figures are in bench/README.md.
 */
#ifndef TARVO_BENCH_BENCH_SUPPORT_H
#define TARVO_BENCH_BENCH_SUPPORT_H

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bench {

/// The benchmark's name in its error lines.
void set_program_name(const char *name);
[[noreturn]] void die(const std::string &why);

/// Writes the dirty pages of the last run out, so that no run pays for
/// another's writeback.
void settle();
double now_s();
double thread_cpu_s();
double rusage_cpu_s(const struct rusage &usage);

bool write_all(int fd, const char *data, size_t length);
bool read_exactly(int fd, char *data, size_t length);
void write_text(const std::string &path, const std::string &text);
/// The folder of the running program.
std::string own_folder();
/// A new folder in /var/tmp (on the local disk, unlike /tmp on some machines).
std::string make_work_folder();
void remove_tree(const std::string &path);

/// The command line one option at a time: `while (args.next())`, then
/// name() and, for an option that takes one, value() (a missing value
/// ends the program).
class ArgList {
  public:
    ArgList(int argc, char **argv) : argc_(argc), argv_(argv) {}
    bool next() {
        if (++at_ >= argc_) {
            return false;
        }
        name_ = argv_[at_];
        return true;
    }
    const std::string &name() const { return name_; }
    std::string value() {
        if (at_ + 1 >= argc_) {
            die("missing value for " + name_);
        }
        return argv_[++at_];
    }

  private:
    int argc_;
    char **argv_;
    int at_ = 0;
    std::string name_;
};

/// What every benchmark is told on the command line besides its own sizes.
struct RunOptions {
    std::string bin;  // where tarvosim and the tools are
    std::string work;
    int rounds = 1;
    std::string only;        // one part alone, or every part
    bool made_work = false;  // the bench made the work folder and removes it
};

/// The command line into `options`: --work, --rounds and --only here, every
/// other word through `take_own` (false for one it does not know, which
/// ends the program with a pointer to the top of `source_file`); then the
/// work folder, a new one in /var/tmp when --work named none.
void parse_options(int argc, char **argv, RunOptions &options, const char *source_file,
                   const std::function<bool(const std::string &arg, ArgList &args)> &take_own);
/// Whether --only lets `part` run.
bool wanted(const RunOptions &options, const char *part);

/// A folder for one run's files on a file system of its own, made anew on
/// each renew(): an ext4 image (no journal, as the machine's disk) in the
/// work folder, loop-mounted, when the bench runs as root and mkfs.ext4 is
/// there. So every run meets the same empty file system, whatever was
/// removed before it (ext4 makes new files slowly for minutes after a mass
/// removal). Otherwise a plain folder, emptied on renew(). The image lies
/// in `image_folder` when one is given (on tmpfs, say, so that figures do
/// not move with a shared disk's load), else in the work folder.
class ScratchFileSystem {
  public:
    ScratchFileSystem(const std::string &work, const std::string &name, int size_gib,
                      const std::string &image_folder = "");
    ~ScratchFileSystem();
    ScratchFileSystem(const ScratchFileSystem &) = delete;
    ScratchFileSystem &operator=(const ScratchFileSystem &) = delete;

    void renew();
    const std::string &path() const { return mount_point_; }
    bool own_file_system() const { return mounted_; }

  private:
    void unmount();
    std::string image_;
    std::string mount_point_;
    int size_gib_;
    bool can_mount_ = false;
    bool mounted_ = false;
};

struct Measure {
    double wall_s = 0;
    double cpu_s = 0;         // the measured side: the tool, or the baseline's writer
    long peak_kib = 0;        // the tool's VmHWM
    double device_cpu_s = 0;  // the other end: tarvosim, or the baseline's device thread
    bool ok = false;
};

Measure best_of(const std::vector<Measure> &runs);

/// A program run with standard input from /dev/null and standard output
/// and error into `stdout_path` (or the descriptor `stdout_fd`).
class Child {
  public:
    Child(const std::vector<std::string> &args, const std::vector<std::string> &env_extra,
          const std::string &stdout_path, int stdout_fd = -1);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    /// Waits (bounded) for the child; its exit status (128 + signal, -1 on
    /// time-out) and rusage. *peak_kib gets its memory's high-water mark,
    /// read from /proc while it runs: the rusage figure would also count
    /// the parent's memory that a spawned child shares until it executes
    /// the program.
    int wait(struct rusage *usage, long *peak_kib = nullptr);
    void stop();
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    /// User and system time so far (the child still runs).
    double cpu_s() const;
    long rss_kib() const;

  private:
    long high_water_kib() const;
    pid_t pid_ = -1;
};

/// tarvosim serving the devices of `fixtures` on a socket in `work`, with
/// its state in work/state, until destroyed.
class Simulator {
  public:
    Simulator(const std::string &bin, const std::string &work,
              const std::vector<std::string> &fixtures);
    ~Simulator();
    /// One short exchange, so that pairing (key generation) and the first
    /// start of the device are not timed.
    void warm_up(const std::string &udid) const;
    /// The wall time of a session that moves no file (best of three).
    double session_cost(const std::string &udid) const;
    double cpu_s() const { return child_->cpu_s(); }
    long rss_kib() const { return child_->rss_kib(); }
    std::vector<std::string> env() const;
    const std::string &state() const { return state_; }

  private:
    std::string bin_;
    std::string work_;
    std::string socket_;
    std::string state_;
    std::unique_ptr<Child> child_;
    int output_fd_ = -1;
};

/// A run of a tool against the simulator, timed; the simulator's CPU time
/// meanwhile is the device's.
Measure run_measured(const std::vector<std::string> &args, const Simulator &sim,
                     const std::string &stdout_path, int stdout_fd = -1);

}  // namespace bench

#endif
