/*
 * The file conduit ("com.apple.afc") of a simulated device: the device's
 * media folder, which starts as a copy of the fixture's afc/ folder made in
 * the device's state folder at first use (so runs never change the
 * fixture), served with AFC packets. Every path stays inside that folder:
 * ".." is refused, absolute paths start at the folder, and a symbolic link
 * that leads out of it is refused. Locks are flock locks on each
 * connection's own open file, so they contend across connections as on a
 * device.
 */
#ifndef TARVO_SIM_AFC_SERVICE_H
#define TARVO_SIM_AFC_SERVICE_H

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "service_registry.h"

namespace tarvosim {

inline constexpr const char *kAfcService = "com.apple.afc";

/// The device's media folder, shared by its file-conduit connections.
class AfcFolder {
  public:
    /// `root`: where the folder lives in the state folder (DIR/devices/<UDID>/afc).
    explicit AfcFolder(std::string root) : root_(std::move(root)) {}

    /// Makes the folder when it does not exist yet, as a copy of
    /// FIXTURE_DIR/afc (empty when the fixture has none). False with
    /// *error when that fails; a later call tries again.
    bool prepare(const std::string &fixture_dir, std::string *error);
    /// The folder with symbolic links resolved; valid once prepare() succeeded.
    std::string real_root() const;

  private:
    mutable std::mutex mutex_;
    std::string root_;
    std::string real_root_;
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
