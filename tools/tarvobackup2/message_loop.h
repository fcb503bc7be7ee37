/*
 * The device-link message loop: after a command's request the device sends
 * messages one by one; each is dispatched by name to its handler, the
 * overall progress bar is kept, and the loop ends on the device's final
 * process message, on disconnect, or when quit_flag is raised.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_MESSAGE_LOOP_H
#define TARVO_TOOLS_TARVOBACKUP2_MESSAGE_LOOP_H

#include <plist/plist.h>
#include <stdint.h>

#include <span>

#include "device_link_channel.h"
#include "tarvo.h"

/// How the loop ended, for the command that ran it.
struct Mb2LoopResult {
    /// The final process message carried an unsigned "ErrorCode" of 0.
    bool completed_ok = false;
    /// -1 until a process message carries an unsigned "ErrorCode" n; then -n.
    int32_t operation_result = -1;
    /// Files that the device's uploads created during this run.
    int32_t files_received = 0;
};

/// What a handler gets: the connection, the backup directory that every
/// device path is relative to, and the results it may update.
struct Mb2LoopContext {
    DeviceLinkChannel &channel;
    const char *backup_directory;
    Mb2LoopResult result;
};

using Mb2MessageHandler = void (*)(Mb2LoopContext &context, plist_t message);

/// One row of the dispatch table. A row without a handler is received and
/// ignored like an unknown name (no answer); `ends_loop` rows stop the loop
/// right after their handler.
struct Mb2DispatchRow {
    const char *name;
    Mb2MessageHandler handler;
    bool ends_loop;
};

/// The rows in the order in which names are compared.
std::span<const Mb2DispatchRow> mb2_dispatch_table();

/// Percent of the whole operation, as the device last reported it.
extern double overall_progress;

/// Runs the loop over the library's backup-service client until one of its
/// ends and stores the results. Defined with Mobilebackup2Channel.
void mb2_message_loop(mobilebackup2_client_t client, const char *backup_directory,
                      Mb2LoopResult *result);

/// The loop itself, over any channel.
void mb2_run_message_loop(DeviceLinkChannel &channel, const char *backup_directory,
                          Mb2LoopResult *result);

/// DLMessageProcessMessage: reads "ErrorCode", "ErrorDescription" and
/// "Content" of element 1 into *result and prints them.
void mb2_process_message(plist_t message, Mb2LoopResult *result);

/// Takes the overall percent from the element where message `name` carries
/// it (3 for downloads, moves and removals, 2 for uploads); only a value
/// above 0 replaces overall_progress.
void mb2_set_overall_progress_from_message(plist_t message, const char *name);

#endif
