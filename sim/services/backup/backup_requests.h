/*
 * The requests the backup service answers: a table of {name, handler}
 * rows. A request whose name has steps in the fixture's backup script is
 * answered by the script instead of its row, so hostile and fault cases
 * are played as written; a request with neither gets a final Response
 * saying that the device has no answer for it.
 */
#ifndef TARVO_SIM_BACKUP_REQUESTS_H
#define TARVO_SIM_BACKUP_REQUESTS_H

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "afc_service.h"
#include "device_content.h"
#include "device_link_messages.h"
#include "notification_proxy_service.h"
#include "service_registry.h"

namespace tarvosim {

/// The ErrorCode when the device has no answer for a request.
inline constexpr uint64_t kNoScriptForRequest = 1;

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

struct RequestRow {
    std::string_view name;
    RequestHandler handler;
};

/// The device's own answers, one row per request name.
std::span<const RequestRow> engine_request_table();

/// Answers `call`: the fixture's script for its name when there is one,
/// else the engine's row, else the "no answer" Response.
bool answer_backup_request(const BackupCall &call);

}  // namespace tarvosim

#endif
