// Session set-up, one function per step, and its release.
#include "session.h"

#include "device_handles.h"
#include "lockdown_hints.h"

#include "usage_text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "password_entry.h"
#include "previous_backup.h"
#include "signals_and_notifications.h"
#include "utils.h"

namespace {

// Commands that need no backup directory get a name that does not exist,
// so that a stray file request from the device cannot land anywhere real.
constexpr const char *kNoDirectory = ".this_folder_is_not_present_on_purpose";
constexpr const char *kBackupService = "com.apple.mobilebackup2";
constexpr const char *kFileConduitService = "com.apple.afc";

bool path_exists(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0;
}

bool reads_source_backup(int command) {
    return command >= CMD_BACKUP && command <= CMD_UNBACK;
}

bool needs_source_manifest(int command) {
    return command == CMD_RESTORE || command == CMD_UNBACK;
}

bool started(lockdownd_error_t result, lockdownd_service_descriptor_t service) {
    return result == LOCKDOWN_E_SUCCESS && service && service->port != 0;
}

struct DescriptorFree {
    void operator()(lockdownd_service_descriptor_t service) const {
        lockdownd_service_descriptor_free(service);
    }
};
using DescriptorPtr =
    std::unique_ptr<std::remove_pointer_t<lockdownd_service_descriptor_t>, DescriptorFree>;

bool check_backup_directory(Session &s) {
    SessionOptions &options = s.options;
    if (s.command() == CMD_CHANGEPW || s.command() == CMD_CLOUD) {
        options.backup_directory = kNoDirectory;
        return true;
    }
    if (!options.has_directory) {
        printf("No target backup directory specified.\n");
        print_usage(options.argv);
        return false;
    }
    if (!path_exists(s.backup_directory())) {
        printf("ERROR: Backup directory \"%s\" does not exist!\n", s.backup_directory());
        return false;
    }
    return true;
}

bool open_device(Session &s) {
    s.udid_given = s.udid() != nullptr;
    const tarvo_error_t result = tarvo_new_with_options(
        &s.device, s.udid(), s.options.network ? TARVO_LOOKUP_NETWORK : TARVO_LOOKUP_USBMUX);
    if (result != TARVO_E_SUCCESS || !s.device) {
        if (s.udid_given) {
            printf("No device found with udid %s.\n", s.udid());
        } else {
            printf("No device found.\n");
        }
        fflush(stdout);
        explain_missing_device(s.udid(), s.options.network);
        return false;
    }
    if (!s.udid_given) {
        char *udid = nullptr;
        tarvo_get_udid(s.device, &udid);
        s.options.udid.reset(udid);
        // Every later step names the device by its UDID; a handle that
        // cannot say which device it is counts as no device.
        if (!s.udid()) {
            printf("No device found.\n");
            return false;
        }
    }
    if (!s.source_udid()) {
        s.options.source_udid.reset(strdup(s.udid()));
    }
    return s.source_udid() != nullptr;
}

bool read_manifest_encryption(Session &s) {
    CString manifest_path(
        string_build_path(s.backup_directory(), s.source_udid(), "Manifest.plist", nullptr));
    plist_t raw = nullptr;
    if (manifest_path) {
        plist_read_from_filename(&raw, manifest_path.get());
    }
    PlistPtr manifest(raw);
    if (!manifest) {
        printf("ERROR: Backup directory \"%s\" is invalid. No Manifest.plist found for UDID %s.\n",
               s.backup_directory(), s.source_udid());
        return false;
    }
    plist_t encrypted = plist_get_node_type(manifest.get()) == PLIST_DICT
                            ? plist_dict_get_item(manifest.get(), "IsEncrypted")
                            : nullptr;
    if (encrypted && plist_get_node_type(encrypted) == PLIST_BOOLEAN) {
        uint8_t value = 0;
        plist_get_bool_val(encrypted, &value);
        s.is_encrypted = value != 0;
    }
    return true;
}

bool check_source_backup(Session &s) {
    if (s.command() == CMD_CHANGEPW) {
        if (!s.options.new_password && !s.options.password && !s.options.interactive) {
            printf(
                "ERROR: Can't get password input in non-interactive mode. Either pass password(s) "
                "on the command line, or enable interactive mode with -i or --interactive.\n");
            return false;
        }
        return true;
    }
    if (!reads_source_backup(s.command())) {
        return true;
    }
    // A backup a dead run left half made gives way to the one it was made over.
    settle_interrupted_backup(s.backup_directory(), s.source_udid());
    s.info_path.reset(
        string_build_path(s.backup_directory(), s.source_udid(), "Info.plist", nullptr));
    if (needs_source_manifest(s.command())) {
        if (!path_exists(s.info_path.get())) {
            printf("ERROR: Backup directory \"%s\" is invalid. No Info.plist found for UDID %s.\n",
                   s.backup_directory(), s.source_udid());
            return false;
        }
        if (!read_manifest_encryption(s)) {
            return false;
        }
    }
    print_info("Backup directory is \"%s\"\n", s.backup_directory());
    return true;
}

bool obtain_backup_password(Session &s) {
    if (!needs_source_manifest(s.command()) || !s.is_encrypted) {
        return true;
    }
    print_info("This is an encrypted backup.\n");
    if (!s.options.password && s.options.interactive) {
        char entry[kHiddenInputSize];
        fprintf(stderr, "%s: ", "Enter backup password");
        fflush(stderr);
        get_hidden_input(entry);
        fprintf(stderr, "\n");
        if (entry[0] != '\0') {
            s.options.password.reset(strdup(entry));
        }
        explicit_bzero(entry, sizeof entry);
    }
    if (s.options.password) {
        return true;
    }
    if (s.command() == CMD_UNBACK) {
        printf(
            "ERROR: a backup password is required to unback an encrypted backup. Cannot "
            "continue.\n");
    } else {
        printf(
            "ERROR: a backup password is required to restore an encrypted backup. Cannot "
            "continue.\n");
    }
    return false;
}

bool start_lockdown(Session &s) {
    const lockdownd_error_t result =
        lockdownd_client_new_with_handshake(s.device, &s.lockdown, kToolLabel);
    if (result != LOCKDOWN_E_SUCCESS) {
        printf("ERROR: Could not connect to lockdownd, error code %d\n", result);
        fflush(stdout);
        explain_lockdown_error(result, s.udid(), s.options.network);
        return false;
    }
    return true;
}

PlistPtr lockdown_value(Session &s, const char *domain, const char *key) {
    plist_t value = nullptr;
    lockdownd_get_value(s.lockdown, domain, key, &value);
    return PlistPtr(value);
}

void read_device_facts(Session &s) {
    PlistPtr will_encrypt = lockdown_value(s, "com.apple.mobile.backup", "WillEncrypt");
    if (will_encrypt && plist_get_node_type(will_encrypt.get()) == PLIST_BOOLEAN) {
        uint8_t value = 0;
        plist_get_bool_val(will_encrypt.get(), &value);
        s.will_encrypt = value != 0;
    }
    PlistPtr product_version = lockdown_value(s, nullptr, "ProductVersion");
    if (product_version && plist_get_node_type(product_version.get()) == PLIST_STRING) {
        char *text = nullptr;
        plist_get_string_val(product_version.get(), &text);
        CString version(text);
        s.device_version = device_version_from_product_version(version.get());
    }
}

void start_notification_proxy(Session &s) {
    lockdownd_service_descriptor_t raw = nullptr;
    const lockdownd_error_t result =
        lockdownd_start_service(s.lockdown, kNotificationProxyService, &raw);
    DescriptorPtr service(raw);
    if (!started(result, service.get())) {
        printf("ERROR: Could not start service %s.\n", kNotificationProxyService);
        return;
    }
    np_client_new(s.device, service.get(), &s.notifications);
    np_set_notify_callback(s.notifications, notify_cb, nullptr);
    const char *observed[] = {kSyncCancelRequest, kSyncSuspendRequest, kSyncResumeRequest,
                              kBackupDomainChanged, nullptr};
    np_observe_notifications(s.notifications, observed);
}

void start_file_conduit(Session &s) {
    if (s.command() != CMD_BACKUP && s.command() != CMD_RESTORE) {
        return;
    }
    lockdownd_service_descriptor_t raw = nullptr;
    const lockdownd_error_t result = lockdownd_start_service(s.lockdown, kFileConduitService, &raw);
    DescriptorPtr service(raw);
    if (started(result, service.get())) {
        afc_client_new(s.device, service.get(), &s.afc);
    }
}

bool start_backup_service(Session &s) {
    lockdownd_service_descriptor_t raw = nullptr;
    const lockdownd_error_t result =
        lockdownd_start_service_with_escrow_bag(s.lockdown, kBackupService, &raw);
    DescriptorPtr service(raw);
    // Every service is started by now: the session is not needed any more.
    lockdownd_client_free(s.lockdown);
    s.lockdown = nullptr;
    if (!started(result, service.get())) {
        printf("ERROR: Could not start service %s.\n", kBackupService);
        return false;
    }
    print_info("Started \"%s\" service on port %d.\n", kBackupService, service->port);
    mobilebackup2_client_new(s.device, service.get(), &s.backup_service);
    return true;
}

bool agree_protocol_version(Session &s) {
    double local_versions[] = {2.0, 2.1};
    double remote_version = 0.0;
    const mobilebackup2_error_t result =
        mobilebackup2_version_exchange(s.backup_service, local_versions, 2, &remote_version);
    if (result != MOBILEBACKUP2_E_SUCCESS) {
        printf("Could not perform backup protocol version exchange, error code %d\n", result);
        return false;
    }
    print_info("Negotiated Protocol Version %.1f\n", remote_version);
    if (quit_flag.load(std::memory_order_relaxed) > 0) {
        print_info("Aborting as requested by user...\n");
        return false;
    }
    return true;
}

bool read_source_info_plist(Session &s) {
    if (reads_source_backup(s.command()) && path_exists(s.info_path.get())) {
        print_info("Reading Info.plist from backup.\n");
        plist_t raw = nullptr;
        plist_read_from_filename(&raw, s.info_path.get());
        s.info_plist.reset(raw);
        if (!s.info_plist) {
            printf("Could not read Info.plist\n");
        }
        return true;
    }
    if (s.command() == CMD_RESTORE) {
        printf("Aborting restore. Info.plist is missing.\n");
        return false;
    }
    return true;
}

}  // namespace

Session::~Session() {
    if (lock_held) {
        afc_file_lock(afc, lock_file, AFC_LOCK_UN);
        afc_file_close(afc, lock_file);
        lock_held = false;
        if ((command() == CMD_BACKUP || command() == CMD_RESTORE) && loop_ran) {
            do_post_notification(device, kSyncDidFinish);
        }
    }
    if (lockdown) {
        lockdownd_client_free(lockdown);
    }
    if (backup_service) {
        mobilebackup2_client_free(backup_service);
    }
    if (afc) {
        afc_client_free(afc);
    }
    if (notifications) {
        np_client_free(notifications);
    }
    if (device) {
        tarvo_free(device);
    }
    options.password.reset();
    options.new_password.reset();
    options.udid.reset();
    options.source_udid.reset();
}

uint32_t device_version_from_product_version(const char *product_version) {
    // "%d.%d.%d" read by hand: strtol keeps an absurd number from the
    // device defined (it saturates) where sscanf's behaviour is not.
    long parts[3] = {0, 0, 0};
    int read = 0;
    const char *cursor = product_version;
    while (cursor && read < 3) {
        char *end = nullptr;
        const long value = strtol(cursor, &end, 10);
        if (end == cursor) {
            break;
        }
        parts[read++] = value;
        if (*end != '.') {
            break;
        }
        cursor = end + 1;
    }
    if (read < 2) {
        return 0;
    }
    return (static_cast<uint32_t>(parts[0]) & 255) << 16 |
           (static_cast<uint32_t>(parts[1]) & 255) << 8 | (static_cast<uint32_t>(parts[2]) & 255);
}

Mb2LoopResult Session::run_message_loop() {
    Mb2LoopResult result;
    mb2_message_loop(backup_service, backup_directory(), &result);
    loop_ran = true;
    return result;
}

bool set_up_session(Session &s) {
    if (!check_backup_directory(s) || !open_device(s) || !check_source_backup(s) ||
        !obtain_backup_password(s) || !start_lockdown(s)) {
        return false;
    }
    read_device_facts(s);
    start_notification_proxy(s);
    start_file_conduit(s);
    return start_backup_service(s) && agree_protocol_version(s) && read_source_info_plist(s);
}
