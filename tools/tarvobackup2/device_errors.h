/*
 * The fixed mapping from a host errno to the error code the device is given
 * in a status response.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_DEVICE_ERRORS_H
#define TARVO_TOOLS_TARVOBACKUP2_DEVICE_ERRORS_H

/// -6 ENOENT, -7 EEXIST, -8 ENOTDIR, -9 EISDIR, -10 ELOOP, -11 EIO,
/// -15 ENOSPC; -1 for every other value. By name, so the same on every
/// platform whatever the errno numbers are.
int device_error_from_errno(int error_number);

#endif
