// unback: the device unpacks its last backup into DIRECTORY/_unback_/.
#include <stdio.h>

#include "commands.h"
#include "signals_and_notifications.h"

int run_unback(Session &s) {
    print_info("Starting to unpack backup...\n");
    SecretPlistPtr options;
    if (s.options.password) {
        options.reset(plist_new_dict());
        plist_dict_set_item(options.get(), "Password", plist_new_string(s.options.password.get()));
    }
    print_info("Backup password: %s\n", s.options.password ? "Yes" : "No");
    const mobilebackup2_error_t sent = mobilebackup2_send_request(
        s.backup_service, "Unback", s.udid(), s.source_udid(), options.get());
    options.reset();
    if (sent != MOBILEBACKUP2_E_SUCCESS) {
        printf("Error requesting unback operation from device, error code %d\n", sent);
        return -1;
    }
    const Mb2LoopResult result = s.run_message_loop();
    if (quit_flag.load(std::memory_order_relaxed) > 0) {
        print_info("Unback Aborted.\n");
    } else if (result.completed_ok) {
        print_info("The files can now be found in the \"_unback_\" directory.\n");
        print_info("Unback Successful.\n");
    } else {
        // The device said the unpacking failed: saying it worked would send
        // the user looking for files that are not there.
        print_info("Unback Failed (Error Code %d).\n", -result.operation_result);
    }
    return result.operation_result;
}
