/*
 * Info.plist, the host's description of a backed-up device: built before
 * each backup from the device's lockdown values, its installed applications
 * and their icons, and a few media files read through the file conduit, and
 * written into the target device's folder of the backup directory.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_INFO_PLIST_H
#define TARVO_TOOLS_TARVOBACKUP2_INFO_PLIST_H

#include <plist/plist.h>

#include <string>

#include "tarvo.h"

/// The new Info.plist dictionary (the caller frees it), or null when no
/// lockdown session could be opened or the device's values not read. `afc`
/// may be null: then no device file is read.
plist_t build_info_plist(tarvo_t device, afc_client_t afc, const char *udid);

/// Writes `info` as XML to `path` through a temporary file in the same
/// folder, flushed to disk and then renamed over the old file, so that the
/// backup never lacks an Info.plist, nor holds half of one. 0, or an errno
/// (the old file is untouched then).
int write_info_plist(const char *path, plist_t info);

#endif
