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

#include "backup_channel.h"
#include "loop_context.h"
#include "overall_progress.h"
#include "tarvo.h"

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

/// Runs the loop over the library's backup-service client until one of its
/// ends and stores the results.
void mb2_message_loop(mobilebackup2_client_t client, const char *backup_directory,
                      Mb2LoopResult *result);

/// The loop itself, over any channel.
void mb2_run_message_loop(BackupChannel &channel, const char *backup_directory,
                          Mb2LoopResult *result);

/// DLMessageProcessMessage: reads "ErrorCode", "ErrorDescription" and
/// "Content" of element 1 into *result and prints them (the content only
/// without --json).
void mb2_process_message(plist_t message, Mb2LoopResult *result);

#endif
