/*
 * The services every simulated device offers, and the fixture sections
 * they read. Apart from the registry (service_registry.h) because this
 * table names every service while every service names the registry's
 * types: the services depend on the registry, the table on them, and only
 * what builds a device takes the table.
 */
#ifndef TARVO_SIM_DEVICE_SERVICES_H
#define TARVO_SIM_DEVICE_SERVICES_H

#include <string>

#include "fixture.h"
#include "service_registry.h"

namespace tarvosim {

/// The services every simulated device offers. `device_dir` is the
/// device's folder in the state folder (DIR/devices/<UDID>), where they keep
/// what hosts change. The services of one registry share the device's
/// notification relay and media folder, so a registry serves one device.
/// The fixture's sections that shape the device's content (its synthetic
/// content) are taken from `fixture`.
ServiceRegistry default_service_registry(const std::string &device_dir, const Fixture &fixture);
/// The same for a fixture made in code, without sections.
ServiceRegistry default_service_registry(const std::string &device_dir);

}  // namespace tarvosim

#endif
