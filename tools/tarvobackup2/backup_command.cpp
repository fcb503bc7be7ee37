// backup: the device's folders and Info.plist, the request, the loop and
// the outcome.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "backup_state.h"
#include "commands.h"
#include "info_plist.h"
#include "previous_backup.h"
#include "signals_and_notifications.h"
#include "sync_lock.h"
#include "utils.h"

namespace {

bool make_device_folder(const char *backup_directory, const char *udid) {
    CString path(string_build_path(backup_directory, udid, nullptr));
    return path && (mkdir(path.get(), 0755) == 0 || errno == EEXIST);
}

// Info.plist always goes into the target device's folder.
bool prepare_device_folders(Session &s, std::string *info_path) {
    if (!make_device_folder(s.backup_directory(), s.source_udid())) {
        printf("Error creating the backup directory, error code\n");
        return false;
    }
    const char *target = s.source_udid();
    if (strcmp(s.source_udid(), s.udid()) != 0) {
        make_device_folder(s.backup_directory(), s.udid());
        target = s.udid();
    }
    CString path(string_build_path(s.backup_directory(), target, "Info.plist", nullptr));
    info_path->assign(path ? path.get() : "");
    return path != nullptr;
}

// A backup that could not record what it is of would be refused by the
// tool's own restore: the old Info.plist stays and nothing is sent.
bool replace_info_plist(Session &s, const std::string &info_path) {
    PlistPtr info(build_info_plist(s.device, s.afc, s.udid()));
    if (!info) {
        fprintf(stderr, "Failed to generate Info.plist - aborting\n");
        return false;
    }
    if (const int error = write_info_plist(info_path.c_str(), info.get()); error != 0) {
        printf("ERROR: Could not write %s: %s\n", info_path.c_str(), strerror(error));
        return false;
    }
    return true;
}

PlistPtr backup_options(const Session &s) {
    if (!(s.options.command_flags & CMD_FLAG_FORCE_FULL_BACKUP)) {
        return nullptr;
    }
    print_info("Enforcing full backup from device.\n");
    PlistPtr options(plist_new_dict());
    plist_dict_set_item(options.get(), "ForceFullBackup", plist_new_bool(1));
    return options;
}

bool request_backup(Session &s) {
    PlistPtr options = backup_options(s);
    print_info("Backup will be %s.\n", s.will_encrypt ? "encrypted" : "unencrypted");
    print_info("Requesting backup from device...\n");
    const mobilebackup2_error_t sent = mobilebackup2_send_request(
        s.backup_service, "Backup", s.udid(), s.source_udid(), options.get());
    if (sent == MOBILEBACKUP2_E_REPLY_NOT_OK) {
        printf(
            "ERROR: Could not start backup process: device refused to start the backup "
            "process.\n");
    } else if (sent == MOBILEBACKUP2_E_BAD_VERSION) {
        printf("ERROR: Could not start backup process: backup protocol version mismatch!\n");
    } else if (sent != MOBILEBACKUP2_E_SUCCESS) {
        printf("ERROR: Could not start backup process: unspecified error occurred\n");
    }
    return sent == MOBILEBACKUP2_E_SUCCESS;
}

/// Whether the backup finished.
bool print_backup_outcome(const Session &s, const Mb2LoopResult &result) {
    print_info("Received %d files from device.\n", result.files_received);
    const bool finished =
        result.completed_ok && mb2_status_check_snapshot_state(s.backup_directory(), s.udid());
    if (finished) {
        print_info("Backup Successful.\n");
    } else if (quit_flag.load(std::memory_order_relaxed) == 0) {
        print_info("Backup Failed (Error Code %d).\n", -result.operation_result);
    } else {
        print_info("Backup Aborted.\n");
    }
    return finished;
}

}  // namespace

int run_backup(Session &s) {
    if (!take_sync_lock(s)) {
        return -1;
    }
    print_info("Starting backup...\n");
    std::string info_path;
    if (!prepare_device_folders(s, &info_path)) {
        return -1;
    }
    // Whether the source backup had a readable Info.plist decides the mode.
    const bool incremental = s.info_plist != nullptr;
    s.info_plist.reset();
    PreviousBackup previous(s.backup_directory(), s.udid());
    if (!replace_info_plist(s, info_path) || !request_backup(s)) {
        return -1;
    }
    print_info("%s backup mode.\n", incremental ? "Incremental" : "Full");
    const Mb2LoopResult result = s.run_message_loop();
    previous.settle(print_backup_outcome(s, result));
    return result.operation_result;
}
