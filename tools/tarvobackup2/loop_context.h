/*
 * What the message loop hands each of its handlers: the channel, the backup
 * directory and the results a handler may update. Handlers include this and
 * not the loop, so that the loop (which includes every handler) and its
 * handlers do not include each other.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_LOOP_CONTEXT_H
#define TARVO_TOOLS_TARVOBACKUP2_LOOP_CONTEXT_H

#include <plist/plist.h>
#include <stdint.h>

#include <optional>
#include <string>

#include "backup_channel.h"

/// How the loop ended, for the command that ran it.
struct Mb2LoopResult {
    /// The final process message carried an unsigned "ErrorCode" of 0.
    bool completed_ok = false;
    /// -1 until a process message carries an unsigned "ErrorCode" n; then -n.
    int32_t operation_result = -1;
    /// Files that the device's uploads created during this run.
    int32_t files_received = 0;
    /// The final process message's "Content" text, when it had one.
    std::optional<std::string> content;
};

/// What a handler gets: the connection, the backup directory that every
/// device path is relative to, and the results it may update.
struct Mb2LoopContext {
    BackupChannel &channel;
    const char *backup_directory;
    Mb2LoopResult result;
};

using Mb2MessageHandler = void (*)(Mb2LoopContext &context, plist_t message);

#endif
