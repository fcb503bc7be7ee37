/*
 * The fault knobs of the backup engine's requests: a device that vanishes
 * part way through (after some files or bytes of its upload stream, after
 * some device-link messages, or just before the final Response), one that
 * reports an error once the work is done, and a slow one. They come from
 * the fixture's "BackupFaults" dictionary, or from
 * STATE/devices/<UDID>/backup-faults.plist, which takes its place while it
 * exists, so tests can change the faults between runs without restarting
 * the simulator. Scripts play their own faults and never meet these.
 *
 * A vanishing device shuts its socket down both ways, which is what the
 * host sees when a device is unplugged, and its request ends there.
 */
#ifndef TARVO_SIM_BACKUP_FAULTS_H
#define TARVO_SIM_BACKUP_FAULTS_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "backup_call.h"
#include "file_stream.h"
#include "fixture.h"

namespace tarvosim {

inline constexpr std::string_view kBackupFaultsSection = "BackupFaults";
inline constexpr const char *kBackupFaultsFile = "backup-faults.plist";

/// What the knobs ask for; an unset knob plays no fault.
struct BackupFaults {
    std::optional<uint64_t> disconnect_after_files;     // files of the upload stream
    std::optional<uint64_t> disconnect_after_bytes;     // bytes of the upload stream
    std::optional<uint64_t> disconnect_after_messages;  // device-link messages sent
    bool disconnect_before_response = false;
    std::optional<uint64_t> final_error_code;  // in place of a successful Response
    std::string final_error_description;
    std::optional<uint64_t> bytes_per_second;  // of the file streams, both ways
    /// The requests the knobs apply to (engine request names).
    std::set<std::string, std::less<>> requests{"Backup", "Restore", "Unback"};
    /// Only in the override file: how many more requests it applies to.
    std::optional<uint64_t> times;
};

/// Reads a knobs dictionary (`with_times`: "Times" may be given). False
/// with *key naming the item and *why saying what is wrong with it.
bool read_backup_faults(plist_t dict, bool with_times, BackupFaults *out, std::string *key,
                        std::string *why);

/// device.plist's "BackupFaults", checked when the fixture loads.
FixtureSection backup_faults_section();

/// The knobs for one request named `name`: those of the override file
/// while it exists (its "Times" counted down, the file removed when they
/// run out), else the fixture's; nullopt when none apply. False with
/// *error when the override file is unreadable or wrong.
bool faults_for_request(const BackupDevice &device, std::string_view name,
                        std::optional<BackupFaults> *out, std::string *error);

/// Plays the knobs during one request: counts what the device writes and
/// cuts the link where they say. HostFiles and the final Response call in
/// at each boundary; the upload stream goes through write().
class FaultPlayer : public UploadTap {
  public:
    FaultPlayer(DlChannel &channel, const BackupDevice &device, BackupFaults faults)
        : channel_(channel), device_(device), faults_(std::move(faults)) {}

    bool vanished() const { return vanished_; }

    /// Before and after each device-link message: false when the device
    /// has vanished (the count of messages sent has reached the knob).
    bool at_message_boundary();
    void message_sent() { ++messages_; }

    /// Before each file of an upload stream and before its end: false
    /// when the device has vanished (the count of files has reached the knob).
    bool at_file_boundary();
    void file_sent() { ++files_; }

    /// Paced and cut as the knobs say; false when the device has vanished.
    bool write(DlChannel &channel, std::span<const uint8_t> bytes) override;
    /// Content the device read from the host: paced like what it writes.
    void received(std::size_t bytes) { pace(bytes); }

    /// The final Response as the knobs make it: false when the device
    /// vanishes instead of sending it; a success may become an error.
    bool shape_response(uint64_t *code, std::string *text, std::string *content);

  private:
    bool vanish(const std::string &when);
    bool bytes_cut_due() const;
    std::size_t slice_for(std::size_t wanted) const;
    void pace(std::size_t bytes);

    DlChannel &channel_;
    const BackupDevice &device_;
    const BackupFaults faults_;
    bool vanished_ = false;
    uint64_t messages_ = 0;
    uint64_t files_ = 0;
    uint64_t bytes_ = 0;
    SteadyClock::time_point next_slice_{};
};

/// Arms `player` on `channel` while it lives: the engine's HostFiles and
/// final Response know the channel, not the request, and find the player
/// through it (armed_faults).
class ArmedOnChannel {
  public:
    ArmedOnChannel(const DlChannel &channel, FaultPlayer &player);
    ~ArmedOnChannel();
    ArmedOnChannel(const ArmedOnChannel &) = delete;
    ArmedOnChannel &operator=(const ArmedOnChannel &) = delete;

  private:
    const DlChannel &channel_;
};

/// The player of the request running on `channel`, or null.
FaultPlayer *armed_faults(const DlChannel &channel);

}  // namespace tarvosim

#endif
