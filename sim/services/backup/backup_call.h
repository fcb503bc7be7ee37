/*
 * One request of the backup service being answered: the device it runs
 * on and what its handler is given. The request table, the engine, its
 * fault knobs and its shared pieces all take these, so they live apart
 * from the table that picks an answer (backup_requests.h).
 */
#ifndef TARVO_SIM_BACKUP_CALL_H
#define TARVO_SIM_BACKUP_CALL_H

#include <memory>
#include <string>

#include "afc_service.h"
#include "device_content.h"
#include "device_link_messages.h"
#include "notification_proxy_service.h"
#include "service_registry.h"

namespace tarvosim {

/// What the backup service's requests may use of their device.
struct BackupDevice {
    const ServiceContext &context;
    std::shared_ptr<NotificationHub> hub;
    std::shared_ptr<AfcFolder> media;
    std::shared_ptr<DeviceContent> content;
    std::string device_dir;  // DIR/devices/<UDID>, where the engine keeps its work
    /// Set by a restore that asks for a reboot; the connection's own thread
    /// alone reads and writes it.
    mutable bool reboot_when_link_ends = false;

    void note(const std::string &text) const { context.log.note(context.name, text); }
};

/// One request being answered.
struct BackupCall {
    DlChannel &channel;
    plist_t request;  // the dictionary of its DLMessageProcessMessage
    const std::string &name;
    const BackupDevice &device;
};

/// Answers a request, ending with its final Response. False when the link
/// is gone; true when the connection takes further requests.
using RequestHandler = bool (*)(const BackupCall &call);

}  // namespace tarvosim

#endif
