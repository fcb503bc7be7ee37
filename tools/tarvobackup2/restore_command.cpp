// restore: the check of the source backup, the options, the application
// list written to the device, the request, the loop and the outcome.
#include <stdio.h>

#include "backup_state.h"
#include "commands.h"
#include "signals_and_notifications.h"
#include "sync_lock.h"

namespace {

constexpr const char *kRestoreFolder = "/iTunesRestore";
constexpr const char *kRestoreApplications = "/iTunesRestore/RestoreApplications.plist";

const char *yes_no(bool yes) {
    return yes ? "Yes" : "No";
}

// Secret: it may carry the backup's password.
SecretPlistPtr restore_options(const Session &s) {
    const int flags = s.options.command_flags;
    SecretPlistPtr options(plist_new_dict());
    const bool system = flags & CMD_FLAG_RESTORE_SYSTEM_FILES;
    plist_dict_set_item(options.get(), "RestoreSystemFiles", plist_new_bool(system));
    print_info("Restoring system files: %s\n", yes_no(system));
    const bool no_reboot = flags & CMD_FLAG_RESTORE_NO_REBOOT;
    if (no_reboot) {
        plist_dict_set_item(options.get(), "RestoreShouldReboot", plist_new_bool(0));
    }
    print_info("Rebooting after restore: %s\n", yes_no(!no_reboot));
    const bool copy = flags & CMD_FLAG_RESTORE_COPY_BACKUP;
    if (!copy) {
        plist_dict_set_item(options.get(), "RestoreDontCopyBackup", plist_new_bool(1));
    }
    print_info("Don't copy backup: %s\n", yes_no(!copy));
    const bool settings = flags & CMD_FLAG_RESTORE_SETTINGS;
    plist_dict_set_item(options.get(), "RestorePreserveSettings", plist_new_bool(!settings));
    print_info("Preserve settings of device: %s\n", yes_no(!settings));
    const bool remove = flags & CMD_FLAG_RESTORE_REMOVE_ITEMS;
    if (remove) {
        plist_dict_set_item(options.get(), "RemoveItemsNotRestored", plist_new_bool(1));
    }
    print_info("Remove items that are not restored: %s\n", yes_no(remove));
    if (s.options.password) {
        plist_dict_set_item(options.get(), "Password", plist_new_string(s.options.password.get()));
    }
    print_info("Backup password: %s\n", yes_no(s.options.password != nullptr));
    return options;
}

struct RemoteFile {
    afc_client_t afc;
    uint64_t handle = 0;
    bool open = false;
    ~RemoteFile() {
        if (open) {
            afc_file_close(afc, handle);
        }
    }
    // The close's own result, for the one caller that looks at it.
    afc_error_t close() {
        open = false;
        return afc_file_close(afc, handle);
    }
};

// The applications to reinstall, from the source backup's Info.plist, as
// /iTunesRestore/RestoreApplications.plist on the device.
bool write_restore_applications(Session &s) {
    if (s.options.command_flags & CMD_FLAG_RESTORE_SKIP_APPS) {
        print_info(
            "Not writing RestoreApplications.plist - apps will not be re-installed after "
            "restore\n");
        return true;
    }
    plist_t applications = s.info_plist && plist_get_node_type(s.info_plist.get()) == PLIST_DICT
                               ? plist_dict_get_item(s.info_plist.get(), "Applications")
                               : nullptr;
    if (!applications) {
        printf("No Applications in Info.plist, skipping creation of RestoreApplications.plist\n");
        return true;
    }
    char *raw_xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(applications, &raw_xml, &length);
    CString xml(raw_xml);
    if (!xml) {
        printf("Error preparing RestoreApplications.plist\n");
        return false;
    }
    if (const afc_error_t made = afc_make_directory(s.afc, kRestoreFolder); made != AFC_E_SUCCESS) {
        printf("Error creating directory /iTunesRestore, error code %d\n", made);
        return false;
    }
    RemoteFile file{s.afc};
    if (const afc_error_t opened =
            afc_file_open(s.afc, kRestoreApplications, AFC_FOPEN_WR, &file.handle);
        opened != AFC_E_SUCCESS) {
        printf("Error creating /iTunesRestore/RestoreApplications.plist, error code %d\n", opened);
        return false;
    }
    file.open = true;
    uint32_t written = 0;
    const afc_error_t wrote = afc_file_write(s.afc, file.handle, xml.get(), length, &written);
    if (wrote != AFC_E_SUCCESS || written != length) {
        printf(
            "Error writing /iTunesRestore/RestoreApplications.plist, error code %d, wrote %u of "
            "%u bytes\n",
            wrote, written, length);
        return false;
    }
    if (file.close() != AFC_E_SUCCESS) {
        return false;
    }
    print_info("Wrote RestoreApplications.plist\n");
    return true;
}

bool request_restore(Session &s, plist_t options) {
    const mobilebackup2_error_t sent =
        mobilebackup2_send_request(s.backup_service, "Restore", s.udid(), s.source_udid(), options);
    if (sent == MOBILEBACKUP2_E_REPLY_NOT_OK) {
        printf(
            "ERROR: Could not start restore process: device refused to start the restore "
            "process.\n");
    } else if (sent == MOBILEBACKUP2_E_BAD_VERSION) {
        printf("ERROR: Could not start restore process: backup protocol version mismatch!\n");
    } else if (sent != MOBILEBACKUP2_E_SUCCESS) {
        printf("ERROR: Could not start restore process: unspecified error occurred\n");
    }
    return sent == MOBILEBACKUP2_E_SUCCESS;
}

void print_restore_outcome(Session &s, const Mb2LoopResult &result) {
    if (result.completed_ok) {
        if (!(s.options.command_flags & CMD_FLAG_RESTORE_NO_REBOOT)) {
            print_info("The device should reboot now.\n");
        }
        print_info("Restore Successful.\n");
        return;
    }
    // What the host put on the device for a restore that did not happen.
    afc_remove_path(s.afc, kRestoreApplications);
    afc_remove_path(s.afc, kRestoreFolder);
    if (quit_flag.load(std::memory_order_relaxed) == 0) {
        print_info("Restore Failed (Error Code %d).\n", -result.operation_result);
    } else {
        print_info("Restore Aborted.\n");
    }
}

}  // namespace

int run_restore(Session &s) {
    if (!take_sync_lock(s)) {
        return -1;
    }
    if (!mb2_status_check_snapshot_state(s.backup_directory(), s.source_udid())) {
        printf("ERROR: Cannot ensure we restore from a successful backup. Aborting.\n");
        return -1;
    }
    print_info("Starting Restore...\n");
    SecretPlistPtr options = restore_options(s);
    if (!write_restore_applications(s) || !request_restore(s, options.get())) {
        return -1;
    }
    options.reset();
    const Mb2LoopResult result = s.run_message_loop();
    print_restore_outcome(s, result);
    return result.operation_result;
}
