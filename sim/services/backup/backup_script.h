/*
 * Backup scripts: a fixture's backup-script.plist says, for each backup
 * request name ("Info", "List", "Backup", ...), which steps the device's
 * backup service carries out once that request arrives: checks of the
 * request itself, device-link messages to send, status responses to
 * expect, files to upload or to ask for, raw bytes, notifications, pauses
 * and a disconnect. Friendly and
 * hostile exchanges are written the same way. The loader checks every step
 * and names the one that is wrong.
 */
#ifndef TARVO_SIM_BACKUP_SCRIPT_H
#define TARVO_SIM_BACKUP_SCRIPT_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "owners.h"

namespace tarvosim {

inline constexpr const char *kBackupScriptFileName = "backup-script.plist";
/// Data frames carry this many bytes unless a file names its own sizes.
inline constexpr uint32_t kDefaultUploadBlock = 32768;
/// The longest pause a step may ask for.
inline constexpr uint64_t kMaxSleepMs = 60000;

/// {"ExpectRequest": {...}}: each item given must be in the request's
/// dictionary (the body of the DLMessageProcessMessage that started the
/// script) with exactly that value.
struct ExpectRequestStep {
    PlistPtr items;  // a dictionary
};

/// {"Send": [...]}: one device-link message as given.
struct SendStep {
    PlistPtr message;
};

/// {"ExpectStatus": {"Code"}}: the host's next message must be a status
/// response with this code.
struct ExpectStatusStep {
    int32_t code = 0;
};

struct UploadFile {
    std::string device_path;
    std::string local_path;
    /// The content as given, or else `size` bytes of the upload pattern.
    std::optional<std::vector<uint8_t>> data;
    uint64_t size = 0;
    /// Sizes of the data frames in order, the last one repeating; empty:
    /// kDefaultUploadBlock.
    std::vector<uint32_t> blocks;
    /// The closing frame's code: 0 (the file is complete) or 11 (device error).
    uint8_t close_code = 0;
    std::string error_text;

    uint64_t content_size() const { return data ? data->size() : size; }
};

/// {"UploadFiles": [...], "Total", "Progress", "ExpectCode"}: a
/// DLMessageUploadFiles, the file stream, then the host's status response,
/// whose code must be ExpectCode (default 0).
struct UploadFilesStep {
    std::vector<UploadFile> files;
    uint64_t total = 0;  // defaults to the sum of the files' sizes
    double progress = 0;
    int32_t expect_code = 0;
};

struct ExpectedDownload {
    std::string path;
    /// The content the host must send; nullopt: the host must report the
    /// file missing with an error frame.
    std::optional<std::vector<uint8_t>> data;
};

/// {"DownloadFiles": [paths], "Expect": [...], "Progress"}: a
/// DLMessageDownloadFiles, then the host's frames (checked against Expect
/// when given) and its status response (-13 when a file is expected
/// missing, else 0).
struct DownloadFilesStep {
    std::vector<std::string> paths;
    std::optional<std::vector<ExpectedDownload>> expect;
    double progress = 0;
};

/// {"Raw": <data>}: bytes as given.
struct RawStep {
    std::vector<uint8_t> bytes;
};

/// {"Notify": name}: posted on the device, relayed to the notification
/// proxy connections that observe it.
struct NotifyStep {
    std::string name;
};

struct SleepStep {
    uint64_t ms = 0;
};

/// {"Disconnect": true}: the device drops the connection.
struct DisconnectStep {};

using ScriptStep = std::variant<SendStep, ExpectStatusStep, UploadFilesStep, DownloadFilesStep,
                                RawStep, NotifyStep, SleepStep, DisconnectStep, ExpectRequestStep>;
/// Request name -> its steps.
using BackupScript = std::map<std::string, std::vector<ScriptStep>, std::less<>>;

/// Checks a parsed backup-script dictionary. On failure returns false with
/// *error = `FILE: key "REQUEST": step N (KIND): what is wrong`.
bool parse_backup_script(plist_t root, const std::string &file, BackupScript *out,
                         std::string *error);

/// Loads DIR/backup-script.plist when it exists (*out stays null when it
/// does not). False with *error naming the file and the step otherwise.
bool load_backup_script(const std::string &fixture_dir, std::shared_ptr<const BackupScript> *out,
                        std::string *error);

/// The bytes a "Size" upload sends: the byte at offset i is i % 251, a
/// cycle that never lines up with block sizes, so a misplaced block shows.
void fill_upload_pattern(uint64_t offset, std::span<uint8_t> out);

}  // namespace tarvosim

#endif
