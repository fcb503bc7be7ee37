/*
 * Device fixtures: a folder whose device.plist describes one simulated
 * device (identity, connection, pairing policy, the PIN and info of wireless
 * pairing, lockdown values, faults to play, key). Later kinds of content
 * (files, apps, backup scripts) live in sibling folders of device.plist,
 * found through Fixture::dir. What a service alone uses is a fixture
 * section: the service reads and checks its own keys and files, so this
 * loader need not learn each one.
 */
#ifndef TARVO_SIM_FIXTURE_H
#define TARVO_SIM_FIXTURE_H

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "backup_script.h"
#include "owners.h"

namespace tarvosim {

enum class ConnectionType { kUsb, kNetwork };

/// What the device's owner does with a pairing request.
enum class PairingPolicy {
    kAccept,    // trusts the host
    kDeny,      // "UserDeniedPairing"
    kPending,   // the trust dialog is still up: "PairingDialogResponsePending"
    kPasscode,  // locked with a passcode: "PasswordProtected"
};

/// How the device spoils its answer to a request (the request itself takes
/// effect as usual).
enum class Fault {
    kHugeLength,  // a length prefix of 0xFFFFFFFF and nothing more
    kTruncated,   // a length prefix and half the body, then the connection closes
    kNotPlist,    // a well-framed body of bytes that are no property list
    kStall,       // no answer at all; the connection stays open
    kClose,       // the connection closes instead of an answer
};

/// Request names that may carry a fault.
const std::vector<std::string_view> &fault_request_names();

/// A fault and the requests it hits: every request of its name, or only
/// those whose string items equal all of `match` (e.g. Key = DeviceName).
struct FaultRule {
    Fault fault = Fault::kClose;
    std::map<std::string, std::string, std::less<>> match;

    bool hits(plist_t request) const;
};

/// What a fixture section reads: the parsed device.plist and its folder.
struct FixtureSource {
    std::string file;  // device.plist's path, for messages
    std::string dir;   // the fixture folder, for the section's own files
    plist_t root = nullptr;

    /// A refusal in the form every fixture error takes: `FILE: key "KEY": what`.
    std::string error(std::string_view key, const std::string &what) const;
};

/// A part of the fixture that one service reads for itself: some top-level
/// keys of device.plist and, if it likes, files beside it.
struct FixtureSection {
    std::string_view name;  // where its result is kept in Fixture::sections
    std::vector<std::string_view> keys;
    /// Checks the section (its keys may all be absent) and sets *out to a
    /// std::shared_ptr<const T> of what the service uses. False with *error
    /// when the fixture is wrong.
    std::function<bool(const FixtureSource &source, std::any *out, std::string *error)> load;
};

/// The sections of every service; defined with the table of a device's
/// services (device_services.cpp), which knows the services.
const std::vector<FixtureSection> &fixture_sections();

struct Fixture {
    std::string dir;  // the folder the fixture was loaded from
    std::string udid;
    ConnectionType connection_type = ConnectionType::kUsb;
    PairingPolicy pairing_policy = PairingPolicy::kAccept;
    PlistPtr global_domain;  // dictionary, never null after loading
    PlistPtr domains;        // dictionary of dictionaries, never null after loading
    std::string query_type = "com.apple.mobile.lockdown";
    std::map<std::string, FaultRule, std::less<>> faults;  // request name -> rule
    std::vector<uint8_t> device_private_key_pem;           // empty: generated and kept in the state
    std::string pairing_pin;  // the PIN shown for wireless pairing; empty: not in pairing mode
    PlistPtr device_info;     // what wireless pairing reports; null: made from the global domain
    // The backup service: its device-link major version, the protocol
    // versions it accepts, and backup-script.plist (null when absent).
    uint64_t device_link_version = 400;
    std::vector<double> backup_protocol_versions{2.0, 2.1};
    std::shared_ptr<const BackupScript> backup_script;
    // Services this device does not offer, though the simulator has them.
    std::set<std::string, std::less<>> missing_services;
    /// Section name -> what its service read (see FixtureSection).
    std::map<std::string, std::any, std::less<>> sections;

    /// A section's content, or null when it was not loaded (a fixture made
    /// in code) or holds another type.
    template <typename T>
    const T *section(std::string_view name) const {
        auto found = sections.find(name);
        if (found == sections.end()) {
            return nullptr;
        }
        const auto *held = std::any_cast<std::shared_ptr<const T>>(&found->second);
        return held ? held->get() : nullptr;
    }

    /// The fault to play for `request` (a request dictionary named `name`).
    std::optional<Fault> fault_for(std::string_view name, plist_t request) const;
    bool is_network() const { return connection_type == ConnectionType::kNetwork; }
};

inline constexpr const char *kFixtureFileName = "device.plist";
/// device.plist files larger than this are refused: fixtures are hand-written.
inline constexpr std::size_t kMaxFixtureFileSize = 8 * 1024 * 1024;

/// Loads and checks DIR/device.plist. On failure returns false and sets
/// *error to one line naming the file, the key and what is wrong with it.
bool load_fixture(const std::string &dir, Fixture *fixture, std::string *error);

}  // namespace tarvosim

#endif
