/*
 * What every request of the backup engine shares: the request's
 * identifiers and options, the device's work folder for one request, the
 * final Response, and the error codes the engine answers with.
 */
#ifndef TARVO_SIM_ENGINE_SUPPORT_H
#define TARVO_SIM_ENGINE_SUPPORT_H

#include <cstdint>
#include <optional>
#include <string>

#include "backup_call.h"
#include "file_stream.h"

namespace tarvosim {

/// ErrorCodes of the engine's final Response (the text says more).
inline constexpr uint64_t kEngineBadRequest = 101;     // unusable identifiers or options
inline constexpr uint64_t kEngineNoBackup = 102;       // no finished backup to read
inline constexpr uint64_t kEngineHostFailed = 103;     // the host refused or broke an exchange
inline constexpr uint64_t kEngineDeviceFailed = 104;   // the device's own storage failed
inline constexpr uint64_t kEngineNotEnoughRoom = 105;  // the host has too little free space
inline constexpr uint64_t kEngineWrongPassword = 207;  // a password did not unlock the keybag
inline constexpr uint64_t kEngineNeedsPassword = 208;  // an encrypted backup and no password

/// The folders a request reads and writes, relative to the host's root.
struct Identifiers {
    std::string target;  // TargetIdentifier: where the device writes
    std::string source;  // SourceIdentifier: where it reads the last state
};

/// TargetIdentifier (default: the device's UDID) and SourceIdentifier
/// (default: the target); nullopt with *why when either is no plain name.
std::optional<Identifiers> identifiers_of(const BackupCall &call, std::string *why);

/// The request's Options item `key` when it is a boolean, else `fallback`.
bool option_bool(plist_t request, const char *key, bool fallback);
/// The request's Options item `key` when it is a string.
std::optional<std::string> option_string(plist_t request, const char *key);
/// A string item at the request's top level.
std::optional<std::string> request_string(plist_t request, const char *key);

/// DIR/devices/<UDID>/backup-work-<port>: made for one request, removed after it.
class WorkFolder {
  public:
    explicit WorkFolder(const BackupDevice &device);
    ~WorkFolder();
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;

    bool ok() const { return ok_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    bool ok_ = false;
};

/// The final Response, as the request's fault knobs shape it. False when
/// the link is gone (or the device vanished instead of answering).
bool respond(const BackupCall &call, uint64_t code, const std::string &text,
             const std::string &content = "");
/// Ends a request after `status` went wrong: a failed exchange is
/// answered with kEngineHostFailed and its text; a lost link ends it.
bool respond_to_failure(const BackupCall &call, const StreamStatus &status);

}  // namespace tarvosim

#endif
