/*
 * The choice between a fixture's script and the engine's own answer, which
 * runs with the device's fault knobs (backup_faults.h) armed.
 */
#include "backup_requests.h"

#include <optional>
#include <string>

#include "backup_faults.h"
#include "engine_requests.h"
#include "engine_support.h"
#include "script_runner.h"

namespace tarvosim {
namespace {

bool answer_unknown(const BackupCall &call) {
    PlistPtr response = dl_process_response(kNoScriptForRequest,
                                            "tarvosim has no script for \"" + call.name +
                                                "\" (add it to the fixture's backup-script.plist)",
                                            "");
    return call.channel.send(response.get());
}

/// Runs an engine request with the knobs that apply to it armed on its
/// channel; a device that vanished ends the connection.
bool answer_with_faults(const BackupCall &call, RequestHandler handler) {
    std::optional<BackupFaults> faults;
    std::string error;
    if (!faults_for_request(call.device, call.name, &faults, &error)) {
        return respond(call, kEngineDeviceFailed, error);
    }
    if (!faults) {
        return handler(call);
    }
    call.device.note("fault knobs armed for \"" + call.name + "\"");
    FaultPlayer player(call.channel, call.device, std::move(*faults));
    ArmedOnChannel armed(call.channel, player);
    const bool goes_on = handler(call);
    return goes_on && !player.vanished();
}

}  // namespace

bool answer_backup_request(const BackupCall &call) {
    const BackupScript *script = call.device.context.fixture.backup_script.get();
    if (script) {
        if (auto found = script->find(call.name); found != script->end()) {
            ScriptRun run{call.channel, call.request, *call.device.hub,
                          [&call](const std::string &text) { call.device.note(text); }};
            return run_script(run, call.name, found->second);
        }
    }
    for (const RequestRow &row : engine_request_table()) {
        if (row.name == call.name) {
            return answer_with_faults(call, row.handler);
        }
    }
    return answer_unknown(call);
}

}  // namespace tarvosim
