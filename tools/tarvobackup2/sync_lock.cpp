// Announcing a sync and taking the device's lock file.
#include "sync_lock.h"

#include <stdio.h>
#include <unistd.h>

#include "signals_and_notifications.h"

namespace {

constexpr const char *kSyncWillStart = "com.apple.itunes-mobdev.syncWillStart";
constexpr const char *kSyncLockRequest = "com.apple.itunes-mobdev.syncLockRequest";
constexpr const char *kSyncDidStart = "com.apple.itunes-mobdev.syncDidStart";

void give_up_lock_file(Session &s) {
    afc_file_close(s.afc, s.lock_file);
    s.lock_file = 0;
}

}  // namespace

bool take_sync_lock(Session &s) {
    do_post_notification(s.device, kSyncWillStart);
    uint64_t handle = 0;
    if (!s.afc || afc_file_open(s.afc, kSyncLockFile, AFC_FOPEN_RW, &handle) != AFC_E_SUCCESS) {
        return true;
    }
    s.lock_file = handle;
    do_post_notification(s.device, kSyncLockRequest);
    for (int attempt = 0; attempt < kSyncLockAttempts; ++attempt) {
        const afc_error_t result = afc_file_lock(s.afc, s.lock_file, AFC_LOCK_EX);
        if (result == AFC_E_SUCCESS) {
            do_post_notification(s.device, kSyncDidStart);
            s.lock_held = true;
            return true;
        }
        if (result != AFC_E_OP_WOULD_BLOCK) {
            fprintf(stderr, "ERROR: could not lock file! error code: %d\n", result);
            give_up_lock_file(s);
            return false;
        }
        usleep(kSyncLockRetryMicroseconds);
    }
    fprintf(stderr, "ERROR: timeout while locking for sync\n");
    give_up_lock_file(s);
    return false;
}
