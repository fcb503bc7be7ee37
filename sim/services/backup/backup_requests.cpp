/*
 * The request table of the backup service and the choice between a
 * fixture's script and the engine's own answer.
 */
#include "backup_requests.h"

#include <cstdlib>
#include <filesystem>
#include <set>

#include "engine_requests.h"
#include "lockdown_server.h"
#include "password_engine.h"
#include "script_runner.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

constexpr std::size_t kMaxListedFiles = 1000;


/// One field of a CSV line, quoted when it must be.
std::string csv_field(const std::string &text) {
    if (text.find_first_of(",\"\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? "\"\"" : std::string(1, c);
    }
    return out + "\"";
}

bool answer_info(const BackupCall &call) {
    const ServiceContext &context = call.device.context;
    PlistPtr global = device_global_domain(context.fixture, context.state);
    const std::pair<const char *, const char *> rows[] = {
        {"Device Name", "DeviceName"},           {"Display Name", "DeviceName"},
        {"Product Type", "ProductType"},         {"Product Version", "ProductVersion"},
        {"Build Version", "BuildVersion"},       {"Serial Number", "SerialNumber"},
        {"Unique Identifier", "UniqueDeviceID"}, {"Phone Number", "PhoneNumber"},
    };
    std::string text;
    for (const auto &[label, key] : rows) {
        if (std::optional<std::string> value = string_item(global.get(), key)) {
            text += std::string(label) + ": " + *value + "\n";
        }
    }
    text += "Target Identifier: " + context.fixture.udid + "\n";
    text += "Is Encrypted: No\n";
    PlistPtr response = dl_process_response(0, "", text);
    return call.channel.send(response.get());
}

bool answer_list(const BackupCall &call) {
    namespace fs = std::filesystem;
    std::set<std::pair<std::string, uint64_t>> files{
        {"Library/Preferences/com.apple.springboard.plist", 2417},
        {"Library/SMS/sms.db", 3342336},
        {"Library/AddressBook/AddressBook.sqlitedb", 655360},
    };
    std::string error;
    const std::string root = call.device.media->prepare(call.device.context.fixture.dir, &error)
                                 ? call.device.media->real_root()
                                 : std::string();
    std::set<std::pair<std::string, uint64_t>> media;
    std::error_code failure;
    if (!root.empty()) {
        for (fs::recursive_directory_iterator
                 it(root, fs::directory_options::skip_permission_denied, failure),
             end;
             !failure && it != end && media.size() < kMaxListedFiles; it.increment(failure)) {
            std::error_code ignored;
            if (it->is_regular_file(ignored) && !it->is_symlink(ignored)) {
                media.emplace("Media/" + fs::relative(it->path(), root, ignored).string(),
                              it->file_size(ignored));
            }
        }
    }
    std::string text = "Domain,Path,Size\n";
    for (const auto &[path, size] : files) {
        text += "HomeDomain," + csv_field(path) + "," + std::to_string(size) + "\n";
    }
    for (const auto &[path, size] : media) {
        text += "MediaDomain," + csv_field(path) + "," + std::to_string(size) + "\n";
    }
    PlistPtr response = dl_process_response(0, "", text);
    return call.channel.send(response.get());
}

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
    PlistPtr response = dl_process_response(
        kNoScriptForRequest,
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
            return row.handler(call);
        }
    }
    return answer_unknown(call);
}

}  // namespace tarvosim
