/*
 * The applications installed on a simulated device, a fixture section that
 * the installation proxy and springboard services share: device.plist's
 * "Applications" (each app's attributes as the device reports them) and
 * "BrowsePageSize", and the apps' icons in the fixture's icons/ folder
 * (icons/<bundle identifier>.png). A restore installs more apps; the
 * device keeps those in its state, and what it reports is both together.
 */
#ifndef TARVO_SIM_INSTALLED_APPS_H
#define TARVO_SIM_INSTALLED_APPS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device_state.h"
#include "fixture.h"
#include "owners.h"

namespace tarvosim {

inline constexpr std::string_view kInstalledAppsSection = "Applications";
inline constexpr const char *kIconsFolder = "icons";
/// Small, so that every host sees its browse answered in several pages.
inline constexpr uint64_t kDefaultBrowsePageSize = 2;
inline constexpr uint64_t kMaxBrowsePageSize = 1000;
/// Icons are a few KiB on devices; anything larger in a fixture is a mistake.
inline constexpr std::size_t kMaxIconSize = 1024 * 1024;

enum class AppType { kUser, kSystem };

struct InstalledApp {
    std::string bundle_id;
    AppType type = AppType::kUser;
    /// Every attribute as the device reports it, CFBundleIdentifier and
    /// ApplicationType included; never null.
    PlistPtr attributes;
    /// The PNG that springboard services hands out; none for an app without.
    std::optional<std::vector<uint8_t>> icon;
};

struct InstalledApps {
    std::vector<InstalledApp> apps;
    uint64_t browse_page_size = kDefaultBrowsePageSize;

    const InstalledApp *find(std::string_view bundle_id) const;
};

FixtureSection installed_apps_section();

/// The fixture's applications; none for a fixture without the section.
const InstalledApps &installed_apps(const Fixture &fixture);

/// The state domain of the apps a restore installed: bundle id -> attributes.
inline constexpr const char *kRestoredAppsDomain = "tarvosim.restored-applications";

/// What the device has installed now: the fixture's apps and the ones
/// restores installed since (a restored app replaces a fixture app of the
/// same bundle identifier).
InstalledApps device_apps(const Fixture &fixture, const DeviceState &state);

/// Installs the apps of a RestoreApplications.plist (bundle id -> the
/// backup's record of the app) as user apps; entries whose key is no bundle
/// identifier are skipped. Returns how many were installed.
std::size_t install_restored_apps(DeviceState &state, plist_t applications);

}  // namespace tarvosim

#endif
