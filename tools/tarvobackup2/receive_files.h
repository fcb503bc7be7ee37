/*
 * Files from the device: the raw stream that follows DLMessageUploadFiles,
 * written into the backup directory file by file, with a progress bar
 * against the announced total and one status response at the end.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_RECEIVE_FILES_H
#define TARVO_TOOLS_TARVOBACKUP2_RECEIVE_FILES_H

#include <plist/plist.h>
#include <stdint.h>

#include "backup_channel.h"
#include "loop_context.h"

/// Longest device error text kept for printing; the rest is read and dropped.
inline constexpr uint32_t kMaxDeviceErrorText = 4096;

/// Reads one name field into *filename (the previous content freed, the new
/// one a NUL-terminated heap string the caller frees). Returns its length,
/// or 0 for the end of the stream and for every failure. While nothing
/// arrives it waits on until quit_flag is raised or the connection fails.
uint32_t mb2_receive_filename(BackupChannel &channel, char **filename);

/// Handles one DLMessageUploadFiles: receives its file stream into
/// `backup_directory` and answers it. Returns the number of files created;
/// a malformed message gets no answer and creates none.
int mb2_handle_receive_files(BackupChannel &channel, plist_t message, const char *backup_directory);

/// Dispatch row: runs the handler and adds its count to the loop's results.
void upload_files_row(Mb2LoopContext &context, plist_t message);

#endif
