/*
 * The diagnostics relay ("com.apple.mobile.diagnostics_relay") of a
 * simulated device: MobileGestalt queries answered from the fixture's
 * "MobileGestalt" section, and Goodbye. Devices from iOS 17.4 on mark their
 * MobileGestalt answers deprecated; the simulated one does so by its
 * ProductVersion and still gives the values it has, so that a host meets
 * both forms.
 */
#ifndef TARVO_SIM_DIAGNOSTICS_RELAY_SERVICE_H
#define TARVO_SIM_DIAGNOSTICS_RELAY_SERVICE_H

#include <string_view>

#include "fixture.h"
#include "service_registry.h"

namespace tarvosim {

inline constexpr const char *kDiagnosticsRelayService = "com.apple.mobile.diagnostics_relay";
inline constexpr std::string_view kMobileGestaltSection = "MobileGestalt";

/// The section: device.plist's "MobileGestalt", a dictionary of the values
/// the device answers (key -> value of any type).
FixtureSection mobile_gestalt_section();

/// Whether a ProductVersion ("17.5.1") is 17.4 or later; false for text
/// that is no version.
bool mobile_gestalt_deprecated(std::string_view product_version);

ServiceDefinition diagnostics_relay_definition();

}  // namespace tarvosim

#endif
