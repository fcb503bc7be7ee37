/*
 * Files to the device: the answer to DLMessageDownloadFiles, each requested
 * file streamed in data frames (or an error frame when it cannot be
 * supplied), the stream's end, and a status response that lists the files
 * that failed.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_SEND_FILES_H
#define TARVO_TOOLS_TARVOBACKUP2_SEND_FILES_H

#include <plist/plist.h>

#include "backup_channel.h"
#include "loop_context.h"

/// The status code that tells the device some requested files are missing.
inline constexpr int kMultiStatusCode = -13;

/// Handles one DLMessageDownloadFiles. A malformed message gets nothing at
/// all; otherwise the list ends with four zero bytes and one status response.
void mb2_send_requested_files(BackupChannel &channel, plist_t message,
                              const char *backup_directory);

/// Sends one requested file: its name field, then data frames closed by an
/// OK frame (0), or an error frame after which *error_dictionary (created
/// when null, owned by the caller) lists the path (-1). -1 also when a send
/// fails; the list should end then.
int mb2_handle_send_file(BackupChannel &channel, const char *backup_directory, const char *path,
                         plist_t *error_dictionary);

/// Dispatch row for DLMessageDownloadFiles.
void download_files_row(Mb2LoopContext &context, plist_t message);

#endif
