/*
 * The in-process simulator harness of the library and tool tests.
 */
#include "sim_harness.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base64.h"
#include "fixture.h"

namespace {

std::optional<std::string> get_env(const char *name) {
    const char *value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void restore_env(const char *name, const std::optional<std::string> &value) {
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

std::string make_temp_dir(const std::string &parent, const char *prefix) {
    std::string pattern = parent + "/" + prefix + "XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

}  // namespace

SimHarness::SimHarness(std::vector<std::string> fixture_dirs)
    : fixture_dirs_(std::move(fixture_dirs)) {
    // /tmp rather than TMPDIR: socket paths must stay short.
    temp_dir_ = make_temp_dir("/tmp", "tarvosim-");
    if (temp_dir_.empty()) {
        error_ = "cannot create a temporary folder";
        ADD_FAILURE() << "SimHarness: " << error_;
        return;
    }
    socket_path_ = temp_dir_ + "/mux.sock";
    state_dir_ = temp_dir_ + "/state";
    saved_socket_env_ = get_env("USBMUXD_SOCKET_ADDRESS");
    saved_lockdown_env_ = get_env("TARVO_LOCKDOWN_DIR");
    ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket_path_).c_str(), 1);
    ::setenv("TARVO_LOCKDOWN_DIR", state_dir_.c_str(), 1);
    start();
}

SimHarness::~SimHarness() {
    stop();
    if (!temp_dir_.empty()) {
        restore_env("USBMUXD_SOCKET_ADDRESS", saved_socket_env_);
        restore_env("TARVO_LOCKDOWN_DIR", saved_lockdown_env_);
        std::error_code ignored;
        std::filesystem::remove_all(temp_dir_, ignored);
    }
}

void SimHarness::start() {
    tarvosim::Simulator::Options options;
    options.socket_path = socket_path_;
    options.state_dir = state_dir_;
    options.fixture_dirs = fixture_dirs_;
    options.debug = get_env("TARVO_SIM_DEBUG").has_value();
    simulator_ = std::make_unique<tarvosim::Simulator>(options);
    error_.clear();
    ok_ = simulator_->start(&error_);
    if (!ok_) {
        ADD_FAILURE() << "SimHarness: the simulator did not start: " << error_;
    }
}

void SimHarness::stop() {
    if (simulator_) {
        simulator_->stop();
    }
    ok_ = false;
}

void SimHarness::restart() {
    stop();
    if (!temp_dir_.empty()) {
        start();
    }
}

std::string SimHarness::make_fixture(const std::string &parent,
                                     const std::string &device_plist_xml) {
    const std::string dir = make_temp_dir(parent, "fixture-");
    if (dir.empty()) {
        ADD_FAILURE() << "SimHarness: cannot create a fixture folder under " << parent;
        return {};
    }
    std::ofstream out(dir + "/" + tarvosim::kFixtureFileName, std::ios::binary);
    out << device_plist_xml;
    out.close();
    if (!out) {
        ADD_FAILURE() << "SimHarness: cannot write the fixture in " << dir;
        return {};
    }
    return dir;
}

std::string SimHarness::device_plist(const std::string &keys_xml) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" +
           keys_xml + "\n</dict>\n</plist>\n";
}

std::string SimHarness::bundled_private_key_xml() {
    tarvosim::Fixture iphone;
    std::string error;
    if (!tarvosim::load_fixture(tarvosim::Simulator::default_fixture_dir(), &iphone, &error)) {
        ADD_FAILURE() << "SimHarness: " << error;
        return {};
    }
    const auto &pem = iphone.device_private_key_pem;
    return "<key>DevicePrivateKey</key><data>" +
           tarvo::base64_encode(std::span<const unsigned char>(pem.data(), pem.size())) + "</data>";
}
