/*
 * The global domain a simulated device reports, made from its fixture and
 * its state. Lockdown answers GetValue with it, wireless pairing hands parts
 * of it out and the backup engine writes it into a backup's Info.plist; so
 * it lives apart from lockdown's connection, which in turn needs the
 * pairing server.
 */
#ifndef TARVO_SIM_GLOBAL_DOMAIN_H
#define TARVO_SIM_GLOBAL_DOMAIN_H

#include <string>
#include <string_view>

#include "device_state.h"
#include "fixture.h"

namespace tarvosim {

/// The global domain as the device reports it: the fixture's values, the
/// device's UDID, public key and Wi-Fi address, and the device's own changes.
PlistPtr device_global_domain(const Fixture &fixture, const DeviceState &state);

/// A stable, locally administered MAC address made from the UDID, for
/// fixtures that name no WiFiAddress ("xx:xx:xx:xx:xx:xx", lower case).
std::string made_up_wifi_address(std::string_view udid);

}  // namespace tarvosim

#endif
