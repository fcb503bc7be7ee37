// The device-link message loop, its dispatch table, the final process
// message and the overall progress.
#include "message_loop.h"

#include <stdio.h>
#include <string.h>

#include <optional>
#include <string>

#include "host_fs_requests.h"
#include "libtarvo/device_link_protocol.h"
#include "overall_progress.h"
#include "owners.h"
#include "plist_items.h"
#include "progress.h"
#include "progress_feed.h"
#include "receive_files.h"
#include "send_files.h"
#include "signals_and_notifications.h"

namespace dl = libtarvo::dl;

namespace {

using tarvo::array_item;
using tarvo::dict_item;

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
    {dl::kDownloadFiles, download_files_row, false},
    {dl::kUploadFiles, upload_files_row, false},
    {dl::kGetFreeDiskSpace, free_disk_space_row, false},
    {dl::kPurgeDiskSpace, answer_purge_disk_space, false},
    {dl::kContentsOfDirectory, contents_of_directory_row, false},
    {dl::kCreateDirectory, create_directory_row, false},
    {dl::kMoveFiles, move_items_row, false},
    {dl::kMoveItems, move_items_row, false},
    {dl::kRemoveFiles, remove_items_row, false},
    {dl::kRemoveItems, remove_items_row, false},
    {dl::kCopyItem, copy_item_row, false},
    {dl::kDisconnect, nullptr, true},
    {dl::kProcessMessage, process_message_row, true},
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

void mb2_run_message_loop(BackupChannel &channel, const char *backup_directory,
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
            if (overall_progress > 0) {
                progress_feed_percent(overall_progress);
            }
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

void mb2_message_loop(mobilebackup2_client_t client, const char *backup_directory,
                      Mb2LoopResult *result) {
    Mobilebackup2Channel channel(client);
    mb2_run_message_loop(channel, backup_directory, result);
}

void mb2_process_message(plist_t message, Mb2LoopResult *result) {
    plist_t dict = array_item(message, 1);
    if (!dict || plist_get_node_type(dict) != PLIST_DICT) {
        printf("Unknown message received!\n");
    }
    int32_t error_code = -1;
    if (const std::optional<uint64_t> value = tarvo::uint_item(dict, "ErrorCode")) {
        error_code = static_cast<int32_t>(static_cast<uint32_t>(*value));
        result->completed_ok = error_code == 0;
        // Negated in unsigned arithmetic: the device may send INT32_MIN.
        result->operation_result = static_cast<int32_t>(0u - static_cast<uint32_t>(error_code));
    } else {
        result->completed_ok = false;
    }

    const std::optional<std::string> description = tarvo::string_item(dict, "ErrorDescription");
    if (error_code != 0) {
        printf("ErrorCode %d: %s\n", error_code, description ? description->c_str() : "(Unknown)");
    }

    result->content = tarvo::string_item(dict, "Content");
    if (result->content && !json_output) {
        print_info("Content:\n");
        printf("%s", result->content->c_str());
    }
}
