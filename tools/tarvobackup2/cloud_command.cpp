// cloud: switches the device's cloud backup on or off.
#include <stdio.h>

#include "commands.h"
#include "signals_and_notifications.h"

int run_cloud(Session &s) {
    const bool on = s.options.command_flags & CMD_FLAG_CLOUD_ENABLE;
    // A word other than on or off must not switch cloud backup off.
    if (!on && !(s.options.command_flags & CMD_FLAG_CLOUD_DISABLE)) {
        printf("ERROR: Nothing was sent to the device: the cloud command needs 'on' or 'off'.\n");
        return -1;
    }
    PlistPtr options(plist_new_dict());
    plist_dict_set_item(options.get(), "CloudBackupState", plist_new_bool(on));
    const mobilebackup2_error_t sent = mobilebackup2_send_request(
        s.backup_service, "EnableCloudBackup", s.udid(), s.source_udid(), options.get());
    options.reset();
    if (sent != MOBILEBACKUP2_E_SUCCESS) {
        printf("Error setting cloud backup state on device, error code %d\n", sent);
        return -1;
    }
    const Mb2LoopResult result = s.run_message_loop();
    if (on) {
        print_info(result.completed_ok ? "Cloud backup has been enabled successfully.\n"
                                       : "Could not enable cloud backup.\n");
    } else {
        print_info(result.completed_ok ? "Cloud backup has been disabled successfully.\n"
                                       : "Could not disable cloud backup.\n");
    }
    return result.operation_result;
}
