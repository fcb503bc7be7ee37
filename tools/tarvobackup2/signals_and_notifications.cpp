// Process-wide flags, the signal handler, the notification callback and
// notification posting.
#include "signals_and_notifications.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

bool verbose = true;
bool json_output = false;
std::atomic<int> quit_flag{0};

void print_info(const char *format, ...) {
    if (!verbose) {
        return;
    }
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void clean_exit(int sig) {
    (void)sig;
    // Only async-signal-safe calls here: write(2) and a lock-free increment.
    const int saved_errno = errno;
    static const char kMessage[] = "Exiting...\n";
    ssize_t written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    (void)written;
    quit_flag.fetch_add(1, std::memory_order_relaxed);
    errno = saved_errno;
}

void install_signal_handlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = clean_exit;
    sigemptyset(&action.sa_mask);
    // Interrupted reads (the password entry) carry on; the flag is looked
    // at where the main flow reaches its next check.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void notify_cb(const char *notification, void *user_data) {
    (void)user_data;
    if (!notification || notification[0] == '\0') {
        return;
    }
    if (strcmp(notification, kSyncCancelRequest) == 0) {
        print_info("User has cancelled the backup process on the device.\n");
        quit_flag.fetch_add(1, std::memory_order_relaxed);
    } else if (strcmp(notification, kBackupDomainChanged) == 0) {
        // Nothing of the running command depends on the backup domain.
    } else {
        print_info("Unhandled notification '%s' (TODO: implement)\n", notification);
    }
}

void do_post_notification(tarvo_t device, const char *notification) {
    lockdownd_client_t lockdown = nullptr;
    if (lockdownd_client_new_with_handshake(device, &lockdown, kToolLabel) != LOCKDOWN_E_SUCCESS) {
        lockdownd_client_free(lockdown);
        return;
    }
    lockdownd_service_descriptor_t service = nullptr;
    lockdownd_start_service(lockdown, kNotificationProxyService, &service);
    if (service && service->port != 0) {
        np_client_t client = nullptr;
        np_client_new(device, service, &client);
        if (client) {
            np_post_notification(client, notification);
            np_client_free(client);
        }
    } else {
        printf("Could not start %s\n", kNotificationProxyService);
    }
    if (service) {
        lockdownd_service_descriptor_free(service);
    }
    lockdownd_client_free(lockdown);
}
