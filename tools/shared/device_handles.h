/*
 * Owners for the library handles the small tools hold (a device, a lockdown
 * client), and the one way they open a device: by UDID or the first one,
 * over USB or the network, with the tool's own line when none is found.
 */
#ifndef TARVO_TOOLS_DEVICE_HANDLES_H
#define TARVO_TOOLS_DEVICE_HANDLES_H

#include <stdio.h>

#include <memory>
#include <type_traits>

#include "tarvo.h"

struct DeviceFree {
    void operator()(tarvo_t device) const { tarvo_free(device); }
};
using DeviceHandle = std::unique_ptr<std::remove_pointer_t<tarvo_t>, DeviceFree>;

struct LockdownFree {
    void operator()(lockdownd_client_t client) const { lockdownd_client_free(client); }
};
using LockdownClient = std::unique_ptr<std::remove_pointer_t<lockdownd_client_t>, LockdownFree>;

/// What a tool prints when the device is not there: the stream, the line
/// for a UDID the user named (a printf format taking that UDID) and the
/// line for "any device".
struct DeviceNotFoundLines {
    FILE *stream;
    const char *with_udid;
    const char *without_udid;
};

/// The device `udid` (the first one when null), looked up on the network
/// or through the multiplexer; null after the tool's line was printed, and
/// after explain_missing_device's lines.
DeviceHandle open_device(const char *udid, bool use_network, const DeviceNotFoundLines &lines);

/// Lines on standard error, after a tool's "no device" line, that say why:
/// the multiplexer daemon cannot be reached (and the address tried), no
/// device is attached, or which devices are when `udid` is not one of them.
void explain_missing_device(const char *udid, bool use_network);

#endif
