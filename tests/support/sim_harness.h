/*
 * SimHarness: runs the simulator inside a test process on a fresh socket and
 * state folder, and points the process at it: USBMUXD_SOCKET_ADDRESS (read
 * by libusbmuxd at every connection) and TARVO_LOCKDOWN_DIR (the host's
 * pair-record folder). Both are restored, and the folders removed, when the
 * harness goes.
 *
 * Caveat: the pair-record module caches TARVO_LOCKDOWN_DIR at its first use
 * in a process. Listing paired devices therefore keeps reading the state
 * folder of the first harness that was in place when it was first used;
 * tests in one binary must not depend on a later harness's folder there.
 * (Pair records themselves travel through the daemon and are unaffected.)
 */
#ifndef TARVO_TESTS_SUPPORT_SIM_HARNESS_H
#define TARVO_TESTS_SUPPORT_SIM_HARNESS_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "simulator.h"

class SimHarness {
  public:
    /// Starts the simulator with these fixture folders (empty: fixtures/iphone).
    /// A failure is reported to GoogleTest and leaves ok() false.
    explicit SimHarness(std::vector<std::string> fixture_dirs = {});
    ~SimHarness();
    SimHarness(const SimHarness &) = delete;
    SimHarness &operator=(const SimHarness &) = delete;

    /// Writes `device_plist_xml` as device.plist into a new folder under
    /// `parent` and returns that folder ("" and a test failure on error).
    static std::string make_fixture(const std::string &parent, const std::string &device_plist_xml);
    /// A device.plist document holding `keys_xml` (a run of <key>/value
    /// pairs) inside its top dictionary.
    static std::string device_plist(const std::string &keys_xml);
    /// "<key>DevicePrivateKey</key><data>...</data>" with the bundled
    /// iPhone's key, so that test fixtures start without generating one.
    static std::string bundled_private_key_xml();

    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }
    const std::string &socket_path() const { return socket_path_; }
    const std::string &state_dir() const { return state_dir_; }
    /// A scratch folder of the harness, removed with it (fixtures may go here).
    const std::string &temp_dir() const { return temp_dir_; }
    tarvosim::Simulator &simulator() { return *simulator_; }

    /// Stops and starts again on the same socket and state folder.
    void restart();
    void stop();

  private:
    void start();

    std::vector<std::string> fixture_dirs_;
    std::string temp_dir_;
    std::string socket_path_;
    std::string state_dir_;
    std::unique_ptr<tarvosim::Simulator> simulator_;
    std::optional<std::string> saved_socket_env_;
    std::optional<std::string> saved_lockdown_env_;
    bool ok_ = false;
    std::string error_;
};

#endif
