/*
 * The backup service ("com.apple.mobilebackup2") of a simulated device:
 * the device-link handshake, the backup protocol's version exchange, and
 * the loop that hands each request ("Backup", "Restore", "Info", ...) on
 * (backup_requests.h), where a fixture's script or the device's own backup
 * engine answers it.
 */
#ifndef TARVO_SIM_BACKUP_SERVICE_H
#define TARVO_SIM_BACKUP_SERVICE_H

#include <memory>
#include <string>

#include "afc_service.h"
#include "backup_requests.h"
#include "notification_proxy_service.h"
#include "script_runner.h"
#include "service_registry.h"

namespace tarvosim {

inline constexpr const char *kBackupService = "com.apple.mobilebackup2";

/// The backup service is started with the escrow bag of the host's
/// pairing: "" when `request` carries it, else the lockdown error.
std::string check_escrow_bag(plist_t request, const TrustedHost &host);

/// What the service's connections share on one device.
struct BackupResources {
    std::shared_ptr<NotificationHub> hub;  // notifications of scripts
    std::shared_ptr<AfcFolder> media;      // the media folder
    std::shared_ptr<DeviceContent> content;
    std::string device_dir;
};

ServiceDefinition backup_service_definition(BackupResources resources);

}  // namespace tarvosim

#endif
