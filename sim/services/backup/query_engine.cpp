/*
 * The "Info" and "List" requests: the device reads the backup in
 * <root>/<SourceIdentifier>/ from the host, as a restore reads it, and
 * answers with a summary of it or the list of its files in the final
 * Response's Content. Everything in that backup is the host's, so every
 * text taken from it is made printable, and the list is bounded to stay
 * far below the host's cap on one device-link message.
 */
#include <cstdio>
#include <ctime>
#include <string_view>

#include "backup_folder.h"
#include "backup_reader.h"
#include "engine_requests.h"
#include "engine_support.h"
#include "host_files.h"
#include "manifest_db.h"
#include "mb_file.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

constexpr uint64_t kMaxStatePlist = 8 * 1024 * 1024;
// Hosts take device-link messages of up to 64 MiB; 16 MiB of text stays
// below that even when the whole text travels as UTF-16. Beyond either
// bound the list ends with a count of the files it leaves out.
constexpr std::size_t kMaxListedFiles = 100000;
constexpr std::size_t kMaxListBytes = 16 * 1024 * 1024;
constexpr uint64_t kFileFlags = 1;

/// The length of the valid UTF-8 sequence at text[at]; 0 when there is none.
std::size_t utf8_sequence(std::string_view text, std::size_t at) {
    const auto byte = [&text](std::size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(at);
    if (lead < 0x80) {
        return 1;
    }
    // The second byte's range rules out overlong forms, surrogates and
    // code points above U+10FFFF.
    std::size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

/// `text` as a terminal may show it: control characters, backslashes and
/// bytes that are no UTF-8 are written as \xNN.
std::string printable(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const uint8_t c = static_cast<uint8_t>(text[at]);
        const std::size_t length = utf8_sequence(text, at);
        if (length == 0 || c < 0x20 || c == 0x7F || c == '\\') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}

/// One field of a CSV line, quoted when it must be.
std::string csv_field(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? "\"\"" : std::string(1, c);
    }
    return out + "\"";
}

std::string utc_text(int64_t unix_seconds) {
    const std::time_t when = static_cast<std::time_t>(unix_seconds);
    std::tm parts{};
    char text[40];
    if (unix_seconds <= 0 || !gmtime_r(&when, &parts) ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
        return "unknown";
    }
    return text;
}

/// What Status.plist says of the backup beyond its being finished.
struct SnapshotFacts {
    bool full = false;
    int64_t date = 0;
};

/// The file rows of a manifest, counted.
struct FileTotals {
    uint64_t files = 0;
    uint64_t bytes = 0;
    uint64_t unreadable = 0;  // rows whose MBFile is no record
};

class BackupQuery {
  public:
    BackupQuery(const BackupCall &call, const Identifiers &ids)
        : call_(call),
          ids_(ids),
          host_(call.channel),
          work_(call.device),
          reader_(host_, work_, ids.source) {}

    bool info() {
        if (!work_.ok()) {
            return respond(call_, kEngineDeviceFailed, "the device cannot make its work folder");
        }
        SnapshotFacts snapshot;
        ReadRefusal refusal;
        StreamStatus got = read_snapshot(&snapshot, &refusal);
        if (got.is_ok() && !refusal.refused()) {
            got = reader_.read(call_.device, KeySource::kDeviceOrPassword, std::nullopt, &refusal);
        }
        if (!got.is_ok()) {
            return respond_to_failure(call_, got);
        }
        // An encrypted backup this device holds no keys for is still
        // described, from its plists.
        const bool locked = refusal.code == kEngineNeedsPassword;
        if (refusal.refused() && !locked) {
            return respond(call_, refusal.code, refusal.text);
        }
        std::string text = device_lines() + backup_lines(snapshot);
        if (locked) {
            text +=
                "Files: not known (the backup is encrypted with keys this device does not "
                "hold)\n";
            return respond(call_, 0, "", text);
        }
        FileTotals totals;
        if (!count_files(&totals)) {
            return respond(call_, kEngineNoBackup, "the backup's Manifest.db cannot be read");
        }
        text += "Files: " + std::to_string(totals.files) + "\n";
        text += "Total Size: " + std::to_string(totals.bytes) + " bytes\n";
        if (totals.unreadable > 0) {
            text += "Unreadable Records: " + std::to_string(totals.unreadable) + "\n";
        }
        return respond(call_, 0, "", text);
    }

    bool list() {
        if (!work_.ok()) {
            return respond(call_, kEngineDeviceFailed, "the device cannot make its work folder");
        }
        ReadRefusal refusal;
        StreamStatus got =
            reader_.read(call_.device, KeySource::kDeviceOrPassword, std::nullopt, &refusal);
        if (!got.is_ok()) {
            return respond_to_failure(call_, got);
        }
        if (refusal.refused()) {
            return respond(call_, refusal.code, refusal.text);
        }
        std::string text = "Domain,Path,Size\n";
        uint64_t listed = 0;
        uint64_t left_out = 0;
        const bool read = reader_.manifest().for_each([&](const ManifestRow &row) {
            if (row.flags != kFileFlags) {
                return true;
            }
            // Once one file is left out all later ones are, so the list
            // is always a run of the manifest's first files.
            if (left_out == 0 && listed < kMaxListedFiles) {
                const std::string line = list_line(row);
                if (text.size() + line.size() <= kMaxListBytes) {
                    text += line;
                    ++listed;
                    return true;
                }
            }
            ++left_out;
            return true;
        });
        if (!read) {
            return respond(call_, kEngineNoBackup, "the backup's Manifest.db cannot be read");
        }
        if (left_out > 0) {
            text += "(" + std::to_string(left_out) + " more files not listed)\n";
        }
        return respond(call_, 0, "", text);
    }

  private:
    /// Status.plist, read for the facts the reader does not keep; a
    /// missing or unfinished backup is refused here with a clearer text.
    StreamStatus read_snapshot(SnapshotFacts *out, ReadRefusal *refusal) {
        std::vector<uint8_t> bytes;
        bool missing = false;
        StreamStatus got = host_.download_bytes(ids_.source + "/" + kStatusPlistName,
                                                kMaxStatePlist, &bytes, &missing);
        if (!got.is_ok()) {
            return got;
        }
        PlistPtr status = missing ? nullptr : read_dictionary(bytes);
        const std::string where = "\"" + printable(ids_.source) + "\"";
        if (missing) {
            *refusal = {kEngineNoBackup, "there is no backup in " + where};
            return got;
        }
        if (!status) {
            *refusal = {kEngineNoBackup, "the Status.plist of " + where + " is unreadable"};
            return got;
        }
        const std::optional<std::string> state = tarvo::string_item(status.get(), "SnapshotState");
        if (state != "finished") {
            *refusal = {kEngineNoBackup,
                        "the backup in " + where + " is not finished (" +
                            (state ? "its SnapshotState is \"" + printable(*state) + "\""
                                   : "its Status.plist has no SnapshotState") +
                            ")"};
            return got;
        }
        out->full = tarvo::bool_item(status.get(), "IsFullBackup").value_or(false);
        out->date = unix_seconds_of(plist_dict_get_item(status.get(), "Date"));
        return got;
    }

    /// The device the backup is of, from Manifest.plist's "Lockdown".
    std::string device_lines() const {
        static constexpr std::pair<const char *, const char *> kRows[] = {
            {"Device Name", "DeviceName"},           {"Display Name", "DeviceName"},
            {"Product Type", "ProductType"},         {"Product Version", "ProductVersion"},
            {"Build Version", "BuildVersion"},       {"Serial Number", "SerialNumber"},
            {"Unique Identifier", "UniqueDeviceID"}, {"Phone Number", "PhoneNumber"},
        };
        std::string text;
        for (const auto &[label, key] : kRows) {
            if (std::optional<std::string> value =
                    tarvo::string_item(reader_.facts().lockdown.get(), key)) {
                text += std::string(label) + ": " + printable(*value) + "\n";
            }
        }
        text += "Target Identifier: " + ids_.target + "\n";
        if (ids_.source != ids_.target) {
            text += "Source Identifier: " + ids_.source + "\n";
        }
        return text;
    }

    std::string backup_lines(const SnapshotFacts &snapshot) const {
        const int64_t date = snapshot.date > 0 ? snapshot.date : reader_.facts().date;
        std::string text = "Last Backup Date: " + utc_text(date) + "\n";
        text += std::string("Backup Type: ") + (snapshot.full ? "Full" : "Incremental") + "\n";
        text += "Snapshot State: finished\n";
        text += std::string("Is Encrypted: ") + (reader_.encrypted() ? "Yes" : "No") + "\n";
        return text;
    }

    bool count_files(FileTotals *totals) {
        return reader_.manifest().for_each([totals](const ManifestRow &row) {
            if (row.flags != kFileFlags) {
                return true;
            }
            ++totals->files;
            if (std::optional<MbFile> record = decode_mb_file(row.file)) {
                // The sizes are the host's: the sum saturates rather than wraps.
                totals->bytes = record->size > UINT64_MAX - totals->bytes
                                    ? UINT64_MAX
                                    : totals->bytes + record->size;
            } else {
                ++totals->unreadable;
            }
            return true;
        });
    }

    static std::string list_line(const ManifestRow &row) {
        std::optional<MbFile> record = decode_mb_file(row.file);
        return csv_field(printable(row.domain)) + "," + csv_field(printable(row.relative_path)) +
               "," + (record ? std::to_string(record->size) : std::string()) + "\n";
    }

    const BackupCall &call_;
    const Identifiers ids_;
    HostFiles host_;
    WorkFolder work_;
    BackupReader reader_;
};

}  // namespace

bool answer_info(const BackupCall &call) {
    std::string why;
    std::optional<Identifiers> ids = identifiers_of(call, &why);
    return ids ? BackupQuery(call, *ids).info() : respond(call, kEngineBadRequest, why);
}

bool answer_list(const BackupCall &call) {
    std::string why;
    std::optional<Identifiers> ids = identifiers_of(call, &why);
    return ids ? BackupQuery(call, *ids).list() : respond(call, kEngineBadRequest, why);
}

}  // namespace tarvosim
