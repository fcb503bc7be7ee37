// info and list: the device describes its last backup; the loop prints
// the device's answer, or its JSON form.
#include <stdio.h>

#include "commands.h"
#include "content_json.h"
#include "signals_and_notifications.h"

namespace {

struct BackupQuery {
    const char *request;  // what the backup service is asked for
    const char *subject;  // how the messages name it
    std::string (*as_json)(std::string_view content);
};

int run_backup_query(Session &s, const BackupQuery &query) {
    print_info("Requesting backup %s from device...\n", query.subject);
    const int sent = mobilebackup2_send_request(s.backup_service, query.request, s.udid(),
                                                s.source_udid(), nullptr);
    if (sent != MOBILEBACKUP2_E_SUCCESS) {
        printf("Error requesting backup %s from device, error code %d\n", query.subject, sent);
        return -1;
    }
    const Mb2LoopResult result = s.run_message_loop();
    if (json_output && result.content) {
        printf("%s", query.as_json(*result.content).c_str());
    }
    if (quit_flag.load(std::memory_order_relaxed) == 0) {
        print_info("Operation Successful.\n");
    } else {
        print_info("Operation Aborted.\n");
    }
    return result.operation_result;
}

}  // namespace

int run_info(Session &s) {
    return run_backup_query(s, {"Info", "info", info_content_to_json});
}

int run_list(Session &s) {
    return run_backup_query(s, {"List", "list", list_content_to_json});
}
