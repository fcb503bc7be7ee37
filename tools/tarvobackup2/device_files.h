/*
 * Whole files read from the device through the file conduit.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_DEVICE_FILES_H
#define TARVO_TOOLS_TARVOBACKUP2_DEVICE_FILES_H

#include <stdint.h>

#include "tarvo.h"

/// Files announced larger than this are not read: the content goes into
/// Info.plist, in memory, and nothing the host asks for comes near it.
inline constexpr uint64_t kMaxDeviceFileSize = 64 * 1024 * 1024;

/// On success *data is a new heap block (freed by the caller) holding the
/// whole file and *size its length. A file that is missing, empty, larger
/// than kMaxDeviceFileSize, or that could not be read whole (it shrank, a
/// read failed) leaves both untouched.
void mobilebackup_afc_get_file_contents(afc_client_t afc, const char *path, char **data,
                                        uint64_t *size);

#endif
