/*
 * The runner of backup scripts: carries out a request's steps from the
 * fixture's backup-script.plist in order, checking what the host sends
 * against them. A failed check ends the exchange with a Response whose
 * ErrorCode is kScriptCheckFailed and whose text names the step.
 */
#ifndef TARVO_SIM_SCRIPT_RUNNER_H
#define TARVO_SIM_SCRIPT_RUNNER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backup_script.h"
#include "device_link_messages.h"
#include "notification_proxy_service.h"

namespace tarvosim {

/// The ErrorCode of the final message when a scripted check fails.
inline constexpr uint64_t kScriptCheckFailed = 1000;

struct ScriptRun {
    DlChannel &channel;
    plist_t request;  // the dictionary of the request being answered
    NotificationHub &hub;
    std::function<void(const std::string &)> note;
};

/// Runs `steps` for `request_name`. False when the link is gone (or the
/// script dropped it), true when the connection takes further requests.
bool run_script(const ScriptRun &run, const std::string &request_name,
                const std::vector<ScriptStep> &steps);

}  // namespace tarvosim

#endif
