// The device-link message loop, its dispatch table, the final process
// message and the overall progress.
#include "message_loop.h"

#include <stdio.h>
#include <string.h>

#include "host_fs_requests.h"
#include "owners.h"
#include "progress.h"
#include "receive_files.h"
#include "send_files.h"
#include "signals_and_notifications.h"

double overall_progress = 0;

namespace {

plist_t array_item(plist_t array, uint32_t index) {
    if (!array || plist_get_node_type(array) != PLIST_ARRAY ||
        index >= plist_array_get_size(array)) {
        return nullptr;
    }
    return plist_array_get_item(array, index);
}

plist_t dict_item(plist_t dict, const char *key) {
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) {
        return nullptr;
    }
    return plist_dict_get_item(dict, key);
}

void answer_purge_disk_space(Mb2LoopContext &context, plist_t message) {
    (void)message;
    PlistPtr empty(plist_new_dict());
    context.channel.send_status_response(-1, "Operation not supported", empty.get());
}

void process_message_row(Mb2LoopContext &context, plist_t message) {
    mb2_process_message(message, &context.result);
}

// Compared in this order; the first match runs. The two rows that end the
// loop send no answer.
constexpr Mb2DispatchRow kDispatchTable[] = {
    {"DLMessageDownloadFiles", download_files_row, false},
    {"DLMessageUploadFiles", upload_files_row, false},
    {"DLMessageGetFreeDiskSpace", free_disk_space_row, false},
    {"DLMessagePurgeDiskSpace", answer_purge_disk_space, false},
    {"DLContentsOfDirectory", contents_of_directory_row, false},
    {"DLMessageCreateDirectory", create_directory_row, false},
    {"DLMessageMoveFiles", move_items_row, false},
    {"DLMessageMoveItems", move_items_row, false},
    {"DLMessageRemoveFiles", remove_items_row, false},
    {"DLMessageRemoveItems", remove_items_row, false},
    {"DLMessageCopyItem", copy_item_row, false},
    {"DLMessageDisconnect", nullptr, true},
    {"DLMessageProcessMessage", process_message_row, true},
};

const Mb2DispatchRow *find_row(const char *name) {
    if (!name) {
        return nullptr;
    }
    for (const Mb2DispatchRow &row : kDispatchTable) {
        if (strcmp(name, row.name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

// One overall bar per handled or ignored message while there is progress
// to show, and none after a bar at 100 % or more.
void draw_overall_progress(bool *bar_done) {
    if (*bar_done || !(overall_progress > 0)) {
        return;
    }
    *bar_done = overall_progress >= 100;
    if (verbose) {
        ProgressLine(overall_progress).append(" Finished\n").flush();
    }
}

}  // namespace

std::span<const Mb2DispatchRow> mb2_dispatch_table() {
    return kDispatchTable;
}

void mb2_run_message_loop(DeviceLinkChannel &channel, const char *backup_directory,
                          Mb2LoopResult *result) {
    Mb2LoopContext context = {channel, backup_directory, Mb2LoopResult()};
    bool overall_bar_done = false;
    while (true) {
        plist_t raw_message = nullptr;
        char *raw_name = nullptr;
        const int received = channel.receive_message(&raw_message, &raw_name);
        PlistPtr message(raw_message);
        CString name(raw_name);
        if (received == 0) {
            const Mb2DispatchRow *row = find_row(name.get());
            if (row && row->handler) {
                row->handler(context, message.get());
            }
            if (row && row->ends_loop) {
                break;
            }
            draw_overall_progress(&overall_bar_done);
        } else if (received != MOBILEBACKUP2_E_RECEIVE_TIMEOUT) {
            printf("ERROR: Could not receive from mobilebackup2 (%d)\n", received);
            quit_flag.fetch_add(1, std::memory_order_relaxed);
        }
        context.result.completed_ok = false;
        if (quit_flag.load(std::memory_order_relaxed) > 0) {
            break;
        }
    }
    *result = context.result;
}

void mb2_process_message(plist_t message, Mb2LoopResult *result) {
    plist_t dict = array_item(message, 1);
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) {
        printf("Unknown message received!\n");
    }
    int32_t error_code = -1;
    plist_t error_node = dict_item(dict, "ErrorCode");
    if (error_node && plist_get_node_type(error_node) == PLIST_UINT) {
        uint64_t value = 0;
        plist_get_uint_val(error_node, &value);
        error_code = static_cast<int32_t>(static_cast<uint32_t>(value));
        result->completed_ok = error_code == 0;
        // Negated in unsigned arithmetic: the device may send INT32_MIN.
        result->operation_result = static_cast<int32_t>(0u - static_cast<uint32_t>(error_code));
    } else {
        result->completed_ok = false;
    }

    CString description;
    plist_t description_node = dict_item(dict, "ErrorDescription");
    if (description_node && plist_get_node_type(description_node) == PLIST_STRING) {
        char *text = nullptr;
        plist_get_string_val(description_node, &text);
        description.reset(text);
    }
    if (error_code != 0) {
        printf("ErrorCode %d: %s\n", error_code, description ? description.get() : "(Unknown)");
    }

    plist_t content_node = dict_item(dict, "Content");
    if (content_node && plist_get_node_type(content_node) == PLIST_STRING) {
        char *text = nullptr;
        plist_get_string_val(content_node, &text);
        CString content(text);
        print_info("Content:\n");
        printf("%s", content ? content.get() : "");
    }
}

void mb2_set_overall_progress_from_message(plist_t message, const char *name) {
    if (!name) {
        return;
    }
    uint32_t index;
    if (strcmp(name, "DLMessageDownloadFiles") == 0 || strcmp(name, "DLMessageMoveFiles") == 0 ||
        strcmp(name, "DLMessageMoveItems") == 0 || strcmp(name, "DLMessageRemoveFiles") == 0 ||
        strcmp(name, "DLMessageRemoveItems") == 0) {
        index = 3;
    } else if (strcmp(name, "DLMessageUploadFiles") == 0) {
        index = 2;
    } else {
        return;
    }
    plist_t node = array_item(message, index);
    if (!node) {
        return;
    }
    double value = 0;
    if (plist_get_node_type(node) == PLIST_REAL) {
        plist_get_real_val(node, &value);
    }
    if (value > 0) {
        overall_progress = value;
    }
}
