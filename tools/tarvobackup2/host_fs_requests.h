/*
 * The device's requests on the host's file system, each carried out
 * beneath the backup directory and answered with one status response: free
 * space, a directory's listing, and making, moving, removing and copying
 * entries.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_HOST_FS_REQUESTS_H
#define TARVO_TOOLS_TARVOBACKUP2_HOST_FS_REQUESTS_H

#include <plist/plist.h>

#include "backup_channel.h"
#include "loop_context.h"
#include "plist_date.h"

/// DLMessageGetFreeDiskSpace: the bytes available to unprivileged users.
void mb2_report_free_space(BackupChannel &channel, plist_t message, const char *backup_directory);
/// DLContentsOfDirectory: a dictionary of the entries with type, size and
/// modification date; an unreadable directory gives an empty one.
void mb2_list_directory(BackupChannel &channel, plist_t message, const char *backup_directory);
/// DLMessageCreateDirectory, with missing parents.
void mb2_make_directory(BackupChannel &channel, plist_t message, const char *backup_directory);
/// DLMessageMoveFiles and DLMessageMoveItems: old path -> new path, replacing
/// what is at the new path; stops at the first rename that fails.
void mb2_move_items(BackupChannel &channel, plist_t message, const char *backup_directory);
/// DLMessageRemoveFiles and DLMessageRemoveItems: files and whole trees;
/// something already gone is no error.
void mb2_remove_items(BackupChannel &channel, plist_t message, const char *backup_directory);
/// DLMessageCopyItem: a file, or the files directly inside a directory.
/// Always answered with success.
void mb2_copy_item(BackupChannel &channel, plist_t message, const char *backup_directory);

/// Dispatch rows.
void free_disk_space_row(Mb2LoopContext &context, plist_t message);
void contents_of_directory_row(Mb2LoopContext &context, plist_t message);
void create_directory_row(Mb2LoopContext &context, plist_t message);
void move_items_row(Mb2LoopContext &context, plist_t message);
void remove_items_row(Mb2LoopContext &context, plist_t message);
void copy_item_row(Mb2LoopContext &context, plist_t message);

#endif
