/*
 * The device's sync lock: before a backup or a restore the host announces
 * the sync and takes an exclusive lock on the device's lock file through the
 * file conduit, waiting while another host holds it. The session's clean-up
 * releases it.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_SYNC_LOCK_H
#define TARVO_TOOLS_TARVOBACKUP2_SYNC_LOCK_H

#include "session.h"

inline constexpr const char *kSyncLockFile = "/com.apple.itunes.lock_sync";
/// Attempts while another host holds the lock, kSyncLockRetryMicroseconds apart.
inline constexpr int kSyncLockAttempts = 50;
inline constexpr unsigned kSyncLockRetryMicroseconds = 200000;

/// True when the command may go on: the lock is held, or there is no lock
/// file to take (no file conduit, or the file cannot be opened). False after
/// the error line on standard error: a lock error, or the time-out.
bool take_sync_lock(Session &s);

#endif
