/*
 * The request table of the backup service and the choice between a
 * fixture's script and the engine's own answer, which runs with the
 * device's fault knobs (backup_faults.h) armed.
 */
#include "backup_requests.h"

#include "backup_faults.h"
#include "engine_requests.h"
#include "password_engine.h"
#include "script_runner.h"

namespace tarvosim {
namespace {

constexpr RequestRow kEngineRequests[] = {
    {"Backup", answer_backup},
    {"Restore", answer_restore},
    {"Unback", answer_unback},
    {"ChangePassword", answer_change_password},
    {"EnableCloudBackup", answer_enable_cloud_backup},
    {"Info", answer_info},
    {"List", answer_list},
};

bool answer_unknown(const BackupCall &call) {
    PlistPtr response = dl_process_response(kNoScriptForRequest,
                                            "tarvosim has no script for \"" + call.name +
                                                "\" (add it to the fixture's backup-script.plist)",
                                            "");
    return call.channel.send(response.get());
}

}  // namespace

std::span<const RequestRow> engine_request_table() {
    return kEngineRequests;
}

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
