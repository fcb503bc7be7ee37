/*
 * Wiring of fixtures, device state and the daemon.
 */
#include "simulator.h"

#include <chrono>
#include <filesystem>
#include <set>
#include <system_error>

#include "device_services.h"

#ifndef TARVO_SOURCE_DIR
#error "the build must define TARVO_SOURCE_DIR (the source tree holding fixtures/)"
#endif

namespace tarvosim {
namespace {

// How long a rebooting device stays away: long enough for a host to see
// it go, short enough that tests and demos do not wait on it.
constexpr std::chrono::milliseconds kRebootDowntime{500};

}  // namespace

Simulator::Simulator(Options options) : options_(std::move(options)) {}

Simulator::~Simulator() {
    stop();
}

// An installed tarvosim finds its fixtures beside itself (PREFIX/bin and
// PREFIX/share/tarvo, wherever PREFIX and DESTDIR put them); one in the
// build tree finds those of the source tree.
std::string Simulator::default_fixture_dir() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path installed =
            program.parent_path().parent_path() / "share/tarvo/fixtures/iphone";
        if (std::filesystem::is_directory(installed, error)) {
            return installed.string();
        }
    }
    return std::string(TARVO_SOURCE_DIR) + "/fixtures/iphone";
}

bool Simulator::start(std::string *error) {
    if (running()) {
        *error = "already running";
        return false;
    }
    if (options_.socket_path.empty() || options_.state_dir.empty()) {
        *error = "a socket path and a state folder are needed";
        return false;
    }
    std::vector<std::string> dirs = options_.fixture_dirs;
    if (dirs.empty()) {
        dirs.push_back(default_fixture_dir());
    }

    auto daemon = std::make_unique<MuxDaemon>(
        MuxDaemonOptions{.socket_path = options_.socket_path, .state_dir = options_.state_dir});
    // The daemon makes the state folder; the devices keep theirs inside it.
    std::vector<std::shared_ptr<SimulatedDevice>> devices;
    std::set<std::string> udids;
    if (!daemon->store().ensure_dir()) {
        *error = options_.state_dir + ": cannot create the state folder";
        return false;
    }
    for (const std::string &dir : dirs) {
        Fixture fixture;
        if (!load_fixture(dir, &fixture, error)) {
            return false;
        }
        if (!udids.insert(fixture.udid).second) {
            *error = dir + ": device " + fixture.udid + " is already simulated by another fixture";
            return false;
        }
        ServiceRegistry services = default_service_registry(
            std::filesystem::path(DeviceState::state_file(options_.state_dir, fixture.udid))
                .parent_path(),
            fixture);
        std::shared_ptr<SimulatedDevice> device = SimulatedDevice::create(
            std::move(fixture), options_.state_dir, std::move(services), options_.debug, error);
        if (!device) {
            return false;
        }
        devices.push_back(std::move(device));
    }
    // Attached before the socket opens, so no client ever sees a partial list.
    for (const auto &device : devices) {
        device->set_reboot([raw_daemon = daemon.get(), raw_device = device.get()] {
            raw_daemon->reboot_device(raw_device, kRebootDowntime);
        });
        daemon->add_device(device);
    }
    if (!daemon->start(error)) {
        return false;
    }
    daemon_ = std::move(daemon);
    devices_ = std::move(devices);
    return true;
}

void Simulator::stop() {
    if (!daemon_) {
        return;
    }
    daemon_->stop();  // also removes the socket file
    daemon_.reset();
    devices_.clear();
}

}  // namespace tarvosim
