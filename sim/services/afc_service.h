/*
 * The file conduit ("com.apple.afc") of a simulated device: the device's
 * media folder, which starts as a copy of the fixture's afc/ folder made in
 * the device's state folder at first use (so runs never change the
 * fixture), served with AFC packets. Every path stays inside that folder:
 * ".." is refused, absolute paths start at the folder, and a symbolic link
 * that leads out of it is refused. Locks are flock locks on each
 * connection's own open file, so they contend across connections as on a
 * device. The sync lock file is always there, and a fixture section can
 * make another host hold it or make taking it fail.
 */
#ifndef TARVO_SIM_AFC_SERVICE_H
#define TARVO_SIM_AFC_SERVICE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "fixture.h"
#include "service_registry.h"

namespace tarvosim {

inline constexpr const char *kAfcService = "com.apple.afc";
/// Hosts take an exclusive lock on this file of the media folder while they sync.
inline constexpr const char *kSyncLockFile = "com.apple.itunes.lock_sync";
inline constexpr std::string_view kSyncLockSection = "SyncLock";

/// What device.plist's "SyncLockHeldByOtherHost" (a number of attempts, or
/// true) and "SyncLockError" (an AFC status) make of attempts to take the
/// sync lock (shared or exclusive; unlocking is never refused).
struct SyncLockPlay {
    uint64_t held_attempts = 0;  // the first N attempts of the device answer "would block"
    bool held_for_ever = false;  // every attempt does
    uint64_t error = 0;          // every attempt answers this status; 0: none
};

FixtureSection sync_lock_section();

/// The device's media folder, shared by its file-conduit connections.
class AfcFolder {
  public:
    /// `root`: where the folder lives in the state folder (DIR/devices/<UDID>/afc).
    explicit AfcFolder(std::string root) : root_(std::move(root)) {}

    /// Makes the folder when it does not exist yet, as a copy of
    /// FIXTURE_DIR/afc (empty when the fixture has none), and the sync lock
    /// file in it when missing. False with *error when that fails; a later
    /// call tries again.
    bool prepare(const std::string &fixture_dir, std::string *error);
    /// The folder with symbolic links resolved; valid once prepare() succeeded.
    std::string real_root() const;
    /// Counts one attempt to take the sync lock on this device; returns
    /// how many there were so far, this one included.
    uint64_t count_sync_lock_attempt();

  private:
    mutable std::mutex mutex_;
    std::string root_;
    std::string real_root_;
    uint64_t sync_lock_attempts_ = 0;
};

/// Where a device path leads inside the folder `real_root`. Returns an AFC
/// status: 0 with *host_path set, or why the path is refused. The last
/// component is followed only when `follow_last` (not for file info,
/// removal and renaming, which act on a link itself).
uint64_t resolve_afc_path(const std::string &real_root, std::string_view device_path,
                          bool follow_last, std::string *host_path);

ServiceDefinition afc_definition(std::shared_ptr<AfcFolder> folder);

}  // namespace tarvosim

#endif
