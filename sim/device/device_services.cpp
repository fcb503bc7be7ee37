/*
 * The table of a device's services and the fixture sections they read
 * (fixture_sections(), declared with the fixture that loads them).
 */
#include "device_services.h"

#include <memory>

#include "afc_service.h"
#include "backup_faults.h"
#include "backup_service.h"
#include "device_content.h"
#include "diagnostics_relay_service.h"
#include "installation_proxy_service.h"
#include "installed_apps.h"
#include "notification_proxy_service.h"
#include "springboard_service.h"
#include "synthetic_config.h"

namespace tarvosim {

ServiceRegistry default_service_registry(const std::string &device_dir) {
    return default_service_registry(device_dir, Fixture{});
}

ServiceRegistry default_service_registry(const std::string &device_dir, const Fixture &fixture) {
    // Each service the simulator learns adds its definition here.
    auto notifications = std::make_shared<NotificationHub>();
    auto posted =
        std::make_shared<PostedNotificationLog>(device_dir + "/" + kPostedNotificationsFile);
    auto media = std::make_shared<AfcFolder>(device_dir + "/afc");
    ServiceRegistry registry;
    registry.add(notification_proxy_definition(notifications, posted));
    registry.add(afc_definition(media));
    registry.add(backup_service_definition(
        BackupResources{notifications, media,
                        std::make_shared<DeviceContent>(device_dir + "/" + kContentFolder,
                                                        synthetic_content(fixture)),
                        device_dir}));
    registry.add(installation_proxy_definition());
    registry.add(springboard_definition());
    registry.add(diagnostics_relay_definition());
    return registry;
}

const std::vector<FixtureSection> &fixture_sections() {
    // A service that reads its own part of the fixture adds its section here.
    static const std::vector<FixtureSection> sections{
        installed_apps_section(), mobile_gestalt_section(),    sync_lock_section(),
        backup_faults_section(),  synthetic_content_section(),
    };
    return sections;
}

}  // namespace tarvosim
