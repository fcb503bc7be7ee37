// browse_bench: tarvobrowse extract against a plain copy of the same files.
//
//   browse_bench [--files N] [--rounds N] [--work DIR] [--only plain|encrypted|derivation]
//
// A backup folder of N files (default 100,000, 0 to 4 KiB each, in 1,000
// folders) is written directly (the tests' builder: SQLite, libplist,
// OpenSSL). plain: `tarvobrowse extract` of it, against a loop that copies
// each content file to OUT/<domain>/<path> with open, 64 KiB read/write and
// close, in the same order, folders made as met. encrypted: the same files in
// an encrypted backup (a tiny DPIC), against the plain extraction.
// derivation: the fixed cost of an encrypted backup, `tarvobrowse list` of
// a one-file backup with the devices' DPIC of 10,000,000, less the same of
// a plain one. Each timed run writes into a fresh file system (see
// ScratchFileSystem), after sync; the best of the rounds is shown.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "test_backup_builder.h"

namespace {

using browsetest::TestEntry;

constexpr size_t kCopyBuffer = 64 * 1024;

std::vector<TestEntry> make_entries(size_t files) {
    std::vector<TestEntry> entries;
    const size_t folders = std::max<size_t>(1, files / 100);
    uint64_t seed = 88172645463325252ull;
    for (size_t folder = 0; folder < folders; ++folder) {
        char name[32];
        snprintf(name, sizeof name, "Library/d%04zu", folder);
        entries.push_back(browsetest::make_folder(name, 0755, 1700000000));
        for (size_t i = folder; i < files; i += folders) {
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            char path[64];
            snprintf(path, sizeof path, "%s/f%07zu.dat", name, i);
            std::string content(seed % 4096, static_cast<char>('a' + i % 26));
            entries.push_back(browsetest::make_file(path, content));
        }
    }
    return entries;
}

bool copy_one(const std::string &from, const std::string &to, std::vector<char> &buffer) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    while (ok) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = bench::write_all(out, buffer.data(), static_cast<size_t>(n));
    }
    if (in >= 0) {
        close(in);
    }
    if (out >= 0) {
        close(out);
    }
    return ok;
}

// The straightforward copy: each file's content to its place, folders made as met.
bench::Measure plain_copy(const std::string &backup, const std::vector<TestEntry> &entries,
                          const std::string &out) {
    bench::settle();
    const double start = bench::now_s();
    std::vector<char> buffer(kCopyBuffer);
    mkdir(out.c_str(), 0755);
    mkdir((out + "/HomeDomain").c_str(), 0755);
    mkdir((out + "/HomeDomain/Library").c_str(), 0755);
    bench::Measure m;
    m.ok = true;
    for (const TestEntry &entry : entries) {
        const std::string place = out + "/" + entry.domain + "/" + entry.path;
        if (entry.flags == 2) {
            mkdir(place.c_str(), 0755);
            continue;
        }
        const std::string id = browsetest::sha1_hex(entry.domain + "-" + entry.path);
        m.ok = m.ok && copy_one(backup + "/" + id.substr(0, 2) + "/" + id, place, buffer);
    }
    m.wall_s = bench::now_s() - start;
    return m;
}

bench::Measure run_browse(const bench::RunOptions &options, const std::vector<std::string> &args,
                          const std::string &password = "") {
    std::vector<std::string> argv = {options.bin + "/tarvobrowse"};
    int password_fd = -1;
    if (!password.empty()) {
        // The password from a file, as a script would give it.
        const std::string file = options.work + "/password";
        bench::write_text(file, password + "\n");
        password_fd = open(file.c_str(), O_RDONLY);
        argv.push_back("--password-fd");
        argv.push_back(std::to_string(password_fd));
    }
    argv.insert(argv.end(), args.begin(), args.end());
    bench::settle();
    const double start = bench::now_s();
    bench::Child child(argv, {}, options.work + "/browse.out");
    struct rusage usage;
    long peak = 0;
    const int status = child.wait(&usage, &peak);
    bench::Measure m;
    m.wall_s = bench::now_s() - start;
    m.cpu_s = bench::rusage_cpu_s(usage);
    m.peak_kib = peak;
    m.ok = status == 0;
    if (password_fd >= 0) {
        close(password_fd);
    }
    if (!m.ok) {
        bench::die("tarvobrowse failed (status " + std::to_string(status) + "), see " +
                   options.work + "/browse.out");
    }
    return m;
}

void report(const char *what, size_t files, uint64_t bytes, const bench::Measure &tool,
            const bench::Measure &base, const char *base_name) {
    printf(
        "%-10s %zu files, %.1f MB: tarvobrowse %.2f s (%.0f files/s, %.1f MB/s, CPU %.2f s, "
        "peak %ld KiB); %s %.2f s (%.0f files/s); share of %s %.0f %%\n",
        what, files, bytes / 1e6, tool.wall_s, files / tool.wall_s, bytes / 1e6 / tool.wall_s,
        tool.cpu_s, tool.peak_kib, base_name, base.wall_s, files / base.wall_s, base_name,
        100.0 * base.wall_s / tool.wall_s);
}

}  // namespace

int main(int argc, char **argv) {
    bench::set_program_name("browse_bench");
    bench::RunOptions options;
    size_t files = 100000;
    bench::parse_options(argc, argv, options, "bench/browse_bench.cpp",
                         [&](const std::string &arg, bench::ArgList &args) {
                             if (arg != "--files") {
                                 return false;
                             }
                             files = std::stoul(args.value());
                             return true;
                         });
    const std::vector<TestEntry> entries = make_entries(files);
    uint64_t bytes = 0;
    for (const TestEntry &entry : entries) {
        bytes += entry.content.size();
    }
    const std::string plain = options.work + "/plain";
    const std::string encrypted = options.work + "/encrypted";
    bench::ScratchFileSystem out_fs(options.work, "out-fs", 4);
    std::vector<bench::Measure> tool_runs;
    std::vector<bench::Measure> base_runs;
    std::vector<bench::Measure> encrypted_runs;
    browsetest::build_backup(plain, entries);
    if (bench::wanted(options, "encrypted")) {
        browsetest::TestBackupOptions with_password;
        with_password.password = "bench";
        browsetest::build_backup(encrypted, entries, with_password);
    }
    for (int round = 0; round < options.rounds; ++round) {
        // Alternate which goes first, so neither always meets a warmer cache.
        for (int turn = 0; turn < 2; ++turn) {
            out_fs.renew();
            const std::string out = out_fs.path() + "/out";
            if ((turn == 0) == (round % 2 == 0)) {
                tool_runs.push_back(run_browse(options, {"extract", plain, out}));
            } else {
                base_runs.push_back(plain_copy(plain, entries, out));
            }
        }
        if (bench::wanted(options, "encrypted")) {
            out_fs.renew();
            encrypted_runs.push_back(
                run_browse(options, {"extract", encrypted, out_fs.path() + "/out"}, "bench"));
        }
    }
    if (bench::wanted(options, "plain") || bench::wanted(options, "encrypted")) {
        report("plain", files, bytes, bench::best_of(tool_runs), bench::best_of(base_runs),
               "plain copy");
    }
    if (bench::wanted(options, "encrypted")) {
        report("encrypted", files, bytes, bench::best_of(encrypted_runs), bench::best_of(tool_runs),
               "plain extract");
    }
    if (bench::wanted(options, "derivation")) {
        const std::vector<TestEntry> one = {browsetest::make_file("a", "alpha")};
        browsetest::TestBackupOptions device_cost;
        device_cost.password = "bench";
        device_cost.dpic = 10'000'000;
        browsetest::build_backup(options.work + "/one-encrypted", one, device_cost);
        browsetest::build_backup(options.work + "/one-plain", one);
        std::vector<bench::Measure> locked;
        std::vector<bench::Measure> open;
        for (int round = 0; round < options.rounds; ++round) {
            locked.push_back(
                run_browse(options, {"list", options.work + "/one-encrypted"}, "bench"));
            open.push_back(run_browse(options, {"list", options.work + "/one-plain"}));
        }
        printf(
            "derivation one file, DPIC 10,000,000: %.2f s, plain %.3f s: key derivation %.2f s\n",
            bench::best_of(locked).wall_s, bench::best_of(open).wall_s,
            bench::best_of(locked).wall_s - bench::best_of(open).wall_s);
    }
    if (options.made_work) {
        bench::remove_tree(options.work);
    }
    return 0;
}
