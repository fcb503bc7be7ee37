/*
 * The backup service ("com.apple.mobilebackup2") of a simulated device: the
 * device-link handshake, the backup protocol's version exchange, and the
 * requests ("Backup", "Info", "List", ...), each answered by the steps of
 * the fixture's backup script. Without a script, "Info" and "List" get a
 * small answer made from the device's values and media folder, and any
 * other request a final message saying that the simulator has no script
 * for it.
 */
#ifndef TARVO_SIM_BACKUP_SERVICE_H
#define TARVO_SIM_BACKUP_SERVICE_H

#include <memory>
#include <string>

#include "afc_service.h"
#include "np_service.h"
#include "service_registry.h"

namespace tarvosim {

inline constexpr const char *kBackupService = "com.apple.mobilebackup2";
/// The ErrorCode of the final message when a scripted check fails.
inline constexpr uint64_t kScriptCheckFailed = 1000;
/// The ErrorCode when the device has no answer for a request.
inline constexpr uint64_t kNoScriptForRequest = 1;

/// The backup service is started with the escrow bag of the host's
/// pairing: "" when `request` carries it, else the lockdown error.
std::string check_escrow_bag(plist_t request, const TrustedHost &host);

/// The service's definition: notifications of its scripts go through
/// `hub`; "List" lists the files of `media`.
ServiceDefinition backup_service_definition(std::shared_ptr<NotificationHub> hub,
                                            std::shared_ptr<AfcFolder> media);

}  // namespace tarvosim

#endif
