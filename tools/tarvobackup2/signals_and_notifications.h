/*
 * tarvobackup2's process-wide flags and the two ways the stop counter is
 * raised from outside the main flow: the signal handler and the device's
 * notification callback (which runs on a library thread). Also posting one
 * notification to the device, and the verbose-only printer.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_SIGNALS_AND_NOTIFICATIONS_H
#define TARVO_TOOLS_TARVOBACKUP2_SIGNALS_AND_NOTIFICATIONS_H

#include <atomic>

#include "tarvo.h"

/// Informational output on or off. On at start; written only while the
/// command line is parsed, before any library thread exists.
extern bool verbose;

/// --json: the final process message's content is kept for the command to
/// print as JSON instead of being printed as the device wrote it. Written
/// only while the command line is parsed.
extern bool json_output;

/// The stop counter: incremented, never reset; above 0 means stop. Written
/// from a signal handler and from the notification thread, so it is a
/// lock-free atomic (whose operations are async-signal-safe).
extern std::atomic<int> quit_flag;
static_assert(std::atomic<int>::is_always_lock_free);

inline constexpr const char *kToolLabel = "tarvobackup2";
inline constexpr const char *kNotificationProxyService = "com.apple.mobile.notification_proxy";

inline constexpr const char *kSyncCancelRequest = "com.apple.itunes-client.syncCancelRequest";
inline constexpr const char *kSyncSuspendRequest = "com.apple.itunes-client.syncSuspendRequest";
inline constexpr const char *kSyncResumeRequest = "com.apple.itunes-client.syncResumeRequest";
inline constexpr const char *kBackupDomainChanged = "com.apple.mobile.backup.domain_changed";
inline constexpr const char *kSyncDidFinish = "com.apple.itunes-mobdev.syncDidFinish";

/// printf to standard output, only while verbose is on.
void print_info(const char *format, ...) __attribute__((format(printf, 1, 2)));

/// SIGINT, SIGTERM and SIGQUIT to clean_exit; SIGPIPE ignored.
void install_signal_handlers();

/// Writes "Exiting...\n" to standard error and raises quit_flag. Does not
/// end the process: the main thread stops where it next reads the flag.
void clean_exit(int sig);

/// The notification proxy's callback; user_data is unused.
void notify_cb(const char *notification, void *user_data);

/// Posts one notification through a lockdown session and notification
/// client of its own. Reports only a notification proxy that did not start.
void do_post_notification(tarvo_t device, const char *notification);

#endif
