/*
 * What a failed lockdown connection means for the user, as a sentence on
 * standard error after a tool's own line that gives only the code: a
 * passcode to enter, a trust dialog denied or still waiting, a network
 * device that needs a wireless pairing, a device that stopped answering.
 */
#ifndef TARVO_TOOLS_LOCKDOWN_HINTS_H
#define TARVO_TOOLS_LOCKDOWN_HINTS_H

#include "tarvo.h"

/// One line on standard error for the codes that have a remedy; nothing for
/// the others. `network`: the device was looked up on the network.
void explain_lockdown_error(lockdownd_error_t code, const char *udid, bool network);

#endif
