/*
 * What the backup directory says about the last backup of a device.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_BACKUP_STATE_H
#define TARVO_TOOLS_TARVOBACKUP2_BACKUP_STATE_H

/// True when DIRECTORY/UDID/Status.plist says the last backup finished
/// ("SnapshotState" "finished"). Prints a line when the file cannot be read
/// or has no such string.
bool mb2_status_check_snapshot_state(const char *directory, const char *udid);

#endif
