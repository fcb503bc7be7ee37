/*
 * The pieces every request of the backup engine shares. The final
 * Response passes the request's fault knobs, which may turn a success
 * into an error or let the device vanish instead.
 */
#include "engine_support.h"

#include <filesystem>

#include "backup_faults.h"
#include "backup_folder.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

plist_t options_of(plist_t request) {
    plist_t options = plist_dict_get_item(request, "Options");
    return options && plist_get_node_type(options) == PLIST_DICT ? options : nullptr;
}

}  // namespace

std::optional<std::string> request_string(plist_t request, const char *key) {
    return tarvo::string_item(request, key);
}

std::optional<Identifiers> identifiers_of(const BackupCall &call, std::string *why) {
    Identifiers ids;
    ids.target =
        request_string(call.request, "TargetIdentifier").value_or(call.device.context.fixture.udid);
    ids.source = request_string(call.request, "SourceIdentifier").value_or(ids.target);
    for (const std::string *id : {&ids.target, &ids.source}) {
        if (!is_safe_identifier(*id)) {
            *why = "\"" + *id + "\" is no device identifier (1 to 64 letters, digits and \"-\")";
            return std::nullopt;
        }
    }
    return ids;
}

bool option_bool(plist_t request, const char *key, bool fallback) {
    return tarvo::bool_item(options_of(request), key).value_or(fallback);
}

std::optional<std::string> option_string(plist_t request, const char *key) {
    return tarvo::string_item(options_of(request), key);
}

WorkFolder::WorkFolder(const BackupDevice &device)
    : path_(device.device_dir + "/backup-work-" + std::to_string(device.context.port)) {
    std::error_code failure;
    std::filesystem::remove_all(path_, failure);
    ok_ = std::filesystem::create_directories(path_, failure);
}

WorkFolder::~WorkFolder() {
    std::error_code failure;
    std::filesystem::remove_all(path_, failure);
}

bool respond(const BackupCall &call, uint64_t code, const std::string &text,
             const std::string &content) {
    FaultPlayer *faults = armed_faults(call.channel);
    std::string final_text = text;
    std::string final_content = content;
    if (faults && !faults->shape_response(&code, &final_text, &final_content)) {
        return false;
    }
    if (code != 0) {
        call.device.note("\"" + call.name + "\" failed (" + std::to_string(code) +
                         "): " + final_text);
    }
    PlistPtr response = dl_process_response(code, final_text, final_content);
    if (!call.channel.send(response.get())) {
        return false;
    }
    if (faults) {
        faults->message_sent();
        return faults->at_message_boundary();
    }
    return true;
}

bool respond_to_failure(const BackupCall &call, const StreamStatus &status) {
    if (status.kind == StreamStatus::kGone) {
        return false;
    }
    return respond(call, kEngineHostFailed, status.why);
}

}  // namespace tarvosim
