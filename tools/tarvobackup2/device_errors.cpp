// Host errno values as the device's error codes.
#include "device_errors.h"

#include <errno.h>

int device_error_from_errno(int error_number) {
    switch (error_number) {
        case ENOENT:
            return -6;
        case EEXIST:
            return -7;
        case ENOTDIR:
            return -8;
        case EISDIR:
            return -9;
        case ELOOP:
            return -10;
        case EIO:
            return -11;
        case ENOSPC:
            return -15;
        default:
            return -1;
    }
}
