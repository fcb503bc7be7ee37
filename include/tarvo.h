/*
 * The device-access library as the tools see it: one header that brings in
 * every service family. Handles are opaque, created through an out-parameter
 * and released with the family's free function (which accepts null); every
 * call returns 0 on success and a negative code of its family on failure.
 */
#ifndef TARVO_H
#define TARVO_H

#include "libtarvo/device.h"
#include "libtarvo/lockdown.h"

#endif
