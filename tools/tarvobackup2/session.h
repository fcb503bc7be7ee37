/*
 * The state of one run of tarvobackup2 after its command line, and its
 * set-up: the backup directory checks, the device, the lockdown session, the
 * notification proxy, the file conduit and the backup service with its
 * protocol version. The destructor releases everything in reverse order on
 * every path. The command itself runs from run.cpp.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_SESSION_H
#define TARVO_TOOLS_TARVOBACKUP2_SESSION_H

#include <stdint.h>

#include <string>
#include <utility>

#include "message_loop.h"
#include "owners.h"
#include "session_options.h"
#include "tarvo.h"

/// What the commands work on. Owns every handle; the destructor releases
/// them (the sync lock first, then the lockdown client if still held, the
/// backup service, the file conduit, the notification client, the device).
struct Session {
    explicit Session(SessionOptions parsed) : options(std::move(parsed)) {}
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    int command() const { return options.command_code; }
    const char *backup_directory() const { return options.backup_directory.c_str(); }
    const char *udid() const { return options.udid.get(); }
    const char *source_udid() const { return options.source_udid.get(); }

    SessionOptions options;
    bool udid_given = false;  // -u named the device
    CString info_path;        // the source backup's Info.plist, for commands 0 to 4
    bool is_encrypted = false;
    bool will_encrypt = false;
    uint32_t device_version = 0;  // major << 16 | minor << 8 | patch, 0 when unknown
    PlistPtr info_plist;

    tarvo_t device = nullptr;
    lockdownd_client_t lockdown = nullptr;
    np_client_t notifications = nullptr;
    afc_client_t afc = nullptr;
    mobilebackup2_client_t backup_service = nullptr;

    bool lock_held = false;  // the device's sync lock file is open and locked
    uint64_t lock_file = 0;
    bool loop_ran = false;  // the command's message loop has run

    int exit_status = -1;

    /// The command's message loop over the backup service, in the backup
    /// directory; marks that the loop ran.
    Mb2LoopResult run_message_loop();
};

/// Every set-up step up to the command, in order. False (after the step's
/// own message) when the run ends here with status -1.
bool set_up_session(Session &s);

/// "ProductVersion" packed as (major & 255) << 16 | (minor & 255) << 8 |
/// (patch & 255); 0 unless at least major and minor could be read.
uint32_t device_version_from_product_version(const char *product_version);

#endif
