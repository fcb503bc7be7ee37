/*
 * tarvosim: runs the simulated multiplexer daemon and its devices in the
 * foreground until SIGINT or SIGTERM.
 */
#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "simulator.h"
#include "tarvo_config.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitCannotStart = 1;

void print_usage(FILE *out, const char *argv0) {
    const char *slash = std::strrchr(argv0, '/');
    std::fprintf(out,
                 "Usage: %s --socket PATH --state DIR [--device FIXTURE_DIR]... [--debug]\n"
                 "\n"
                 "Simulated USB multiplexer daemon with simulated devices.\n"
                 "\n"
                 "  --socket PATH        serve the daemon's protocol on this UNIX socket\n"
                 "  --state DIR          keep pair records and device state in DIR\n"
                 "  --device FIXTURE_DIR add a device made from this fixture folder\n"
                 "                       (repeatable; default: the bundled iPhone)\n"
                 "  --debug              print every device message on standard error\n"
                 "  -h, --help           print this help\n"
                 "  -v, --version        print the version\n"
                 "\n"
                 "Point clients at it with USBMUXD_SOCKET_ADDRESS=UNIX:PATH.\n"
                 "Stops cleanly on SIGINT or SIGTERM.\n",
                 slash ? slash + 1 : argv0);
}

int usage_error(const char *argv0, const char *message) {
    std::fprintf(stderr, "tarvosim: %s\n", message);
    print_usage(stderr, argv0);
    return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
    static const option kOptions[] = {
        {"socket", required_argument, nullptr, 's'},
        {"state", required_argument, nullptr, 'S'},
        {"device", required_argument, nullptr, 'D'},
        {"debug", no_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    tarvosim::Simulator::Options options;
    opterr = 0;  // our own messages below
    int c = 0;
    while ((c = getopt_long(argc, argv, ":hv", kOptions, nullptr)) != -1) {
        switch (c) {
            case 's':
                options.socket_path = optarg;
                break;
            case 'S':
                options.state_dir = optarg;
                break;
            case 'D':
                options.fixture_dirs.emplace_back(optarg);
                break;
            case 'd':
                options.debug = true;
                break;
            case 'h':
                print_usage(stdout, argv[0]);
                return 0;
            case 'v':
                std::printf("tarvosim %s\n", PACKAGE_VERSION);
                return 0;
            case ':':
                return usage_error(
                    argv[0], (std::string("missing argument for ") + argv[optind - 1]).c_str());
            default:
                return usage_error(argv[0],
                                   (std::string("unknown option ") + argv[optind - 1]).c_str());
        }
    }
    if (optind < argc) {
        return usage_error(argv[0], (std::string("unexpected argument ") + argv[optind]).c_str());
    }
    if (options.socket_path.empty()) {
        return usage_error(argv[0], "--socket PATH is required");
    }
    if (options.state_dir.empty()) {
        return usage_error(argv[0], "--state DIR is required");
    }

    // Blocked before any thread starts, so that every thread inherits the
    // mask and only sigwait() below ever sees these signals.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    // Every send already asks for no SIGPIPE; this keeps any that slips
    // through (a library's own write) from ending the daemon.
    signal(SIGPIPE, SIG_IGN);

    tarvosim::Simulator simulator(options);
    std::string error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "tarvosim: cannot start: %s\n", error.c_str());
        return kExitCannotStart;
    }
    std::printf("tarvosim: listening on %s\n", options.socket_path.c_str());
    std::fflush(stdout);

    int received = 0;
    while (sigwait(&stop_signals, &received) != 0) {
    }
    simulator.stop();
    return 0;
}
