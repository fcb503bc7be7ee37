/*
 * The device-access library as the tools see it: one header that brings in
 * every service family. Handles are opaque, created through an out-parameter
 * and released with the family's free function (which accepts null); every
 * call returns 0 on success and a code of its family on failure.
 */
#ifndef TARVO_H
#define TARVO_H

#include "libtarvo/afc.h"
#include "libtarvo/device.h"
#include "libtarvo/diagnostics_relay.h"
#include "libtarvo/installation_proxy.h"
#include "libtarvo/lockdown.h"
#include "libtarvo/mobilebackup2.h"
#include "libtarvo/notification_proxy.h"
#include "libtarvo/springboard_services.h"

#endif
