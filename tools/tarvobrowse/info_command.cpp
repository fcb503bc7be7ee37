// tarvobrowse info: the device and the backup from Info.plist,
// Manifest.plist, Status.plist, and the counts of Manifest.db.
#include <inttypes.h>
#include <stdio.h>

#include "commands.h"
#include "entry_format.h"
#include "mb_record.h"
#include "opened_backup.h"
#include "plist_items.h"

namespace browse {
namespace {

// Seconds from the Unix epoch to the property lists' 2001-01-01.
constexpr int64_t kPlistEpoch = 978307200;

struct Counts {
    uint64_t files = 0;
    uint64_t folders = 0;
    uint64_t links = 0;
    uint64_t bytes = 0;
    uint64_t unreadable = 0;
};

std::string date_text(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_DATE) {
        return "-";
    }
    int32_t seconds = 0;
    int32_t micro = 0;
    plist_get_date_val(node, &seconds, &micro);
    return time_text(kPlistEpoch + seconds) + " UTC";
}

// The value from Manifest.plist's Lockdown, else Info.plist's.
std::string device_value(plist_t manifest, const char *lockdown_key, plist_t info,
                         const char *info_key) {
    std::optional<std::string> value =
        tarvo::string_item(tarvo::dict_item(manifest, "Lockdown"), lockdown_key);
    if (!value) {
        value = tarvo::string_item(info, info_key);
    }
    return value.value_or("-");
}

void print_line(const char *label, const std::string &value) {
    printf("%-18s %s\n", label, value.c_str());
}

void print_device(plist_t manifest, plist_t info) {
    print_line("Device name:", device_value(manifest, "DeviceName", info, "Device Name"));
    print_line("Product type:", device_value(manifest, "ProductType", info, "Product Type"));
    print_line("System version:",
               device_value(manifest, "ProductVersion", info, "Product Version"));
    print_line("Build version:", device_value(manifest, "BuildVersion", info, "Build Version"));
    print_line("Serial number:", device_value(manifest, "SerialNumber", info, "Serial Number"));
    print_line("UDID:", device_value(manifest, "UniqueDeviceID", info, "Unique Identifier"));
}

void print_state(plist_t manifest, plist_t status, bool encrypted) {
    print_line("Backup date:", date_text(tarvo::dict_item(status, "Date")) != "-"
                                   ? date_text(tarvo::dict_item(status, "Date"))
                                   : date_text(tarvo::dict_item(manifest, "Date")));
    const std::optional<bool> full = tarvo::bool_item(status, "IsFullBackup");
    print_line("Backup kind:", !full ? "-" : *full ? "full" : "incremental");
    const std::optional<std::string> state = tarvo::string_item(status, "SnapshotState");
    print_line("State:", !status               ? "unknown (no Status.plist)"
                         : state == "finished" ? "finished"
                                               : "not finished (" + state.value_or("-") + ")");
    print_line("Encrypted:", encrypted ? "yes" : "no");
}

void print_applications(plist_t manifest) {
    const plist_t apps = tarvo::dict_item(manifest, "Applications");
    const uint32_t count =
        apps && plist_get_node_type(apps) == PLIST_DICT ? plist_dict_get_size(apps) : 0;
    print_line("Applications:", std::to_string(count));
    plist_dict_iter iter = nullptr;
    if (count == 0) {
        return;
    }
    plist_dict_new_iter(apps, &iter);
    for (uint32_t i = 0; i < count; ++i) {
        char *key = nullptr;
        plist_t app = nullptr;
        plist_dict_next_item(apps, iter, &key, &app);
        if (key) {
            const std::string version = tarvo::string_item(app, "CFBundleVersion").value_or("-");
            printf("  %s %s\n", key, version.c_str());
        }
        free(key);
    }
    free(iter);
}

bool count_entries(ManifestDb &manifest, Counts &counts, std::string *error) {
    return manifest.for_each(
        {},
        [&](const ManifestRow &row) {
            std::optional<MbRecord> record;
            if (!row.defect) {
                record = decode_mb_record(row.archive, nullptr);
            }
            if (!record) {
                ++counts.unreadable;
            } else if (row.flags == uint64_t(EntryKind::kFile)) {
                ++counts.files;
                counts.bytes += record->size;
            } else if (row.flags == uint64_t(EntryKind::kDirectory)) {
                ++counts.folders;
            } else if (row.flags == uint64_t(EntryKind::kSymlink)) {
                ++counts.links;
            } else {
                ++counts.unreadable;
            }
        },
        error);
}

}  // namespace

int run_info(const BrowseOptions &options) {
    OpenedBackup backup;
    std::string error;
    if (open_backup_folder(options.operands[0], backup, &error) != OpenResult::kOk) {
        report_error(error);
        return kExitError;
    }
    std::string ignored;
    const PlistPtr info = backup.folder.read_plist("Info.plist", &ignored);
    const PlistPtr status = backup.folder.read_plist("Status.plist", &ignored);
    const plist_t manifest = backup.manifest_plist.get();
    print_device(manifest, info.get());
    print_state(manifest, status.get(), backup.encrypted);
    // Counts need Manifest.db, and an encrypted one its password; without
    // a way to ask, the rest is still worth showing.
    if (backup.encrypted && !password_available(options.password)) {
        print_line("Entries:", "(encrypted: give the password for counts)");
        print_applications(manifest);
        return kExitOk;
    }
    Counts counts;
    if (open_manifest(backup, options.password, &error) != OpenResult::kOk ||
        !count_entries(*backup.manifest, counts, &error)) {
        report_error(error);
        return kExitError;
    }
    printf("%-18s %s (%" PRIu64 " bytes), %s, %s\n",
           "Entries:", counted(counts.files, "file", "files").c_str(), counts.bytes,
           counted(counts.folders, "folder", "folders").c_str(),
           counted(counts.links, "link", "links").c_str());
    if (counts.unreadable) {
        printf("%-18s %" PRIu64 "\n", "Unreadable rows:", counts.unreadable);
    }
    print_applications(manifest);
    return counts.unreadable ? kExitPartial : kExitOk;
}

}  // namespace browse
