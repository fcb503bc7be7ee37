/*
 * The installation proxy ("com.apple.mobile.installation_proxy") of a
 * simulated device: "Browse" lists the fixture's applications in pages,
 * each app with the attributes the host asked for.
 */
#ifndef TARVO_SIM_INSTALLATION_PROXY_SERVICE_H
#define TARVO_SIM_INSTALLATION_PROXY_SERVICE_H

#include "service_registry.h"

namespace tarvosim {

inline constexpr const char *kInstallationProxyService = "com.apple.mobile.installation_proxy";

ServiceDefinition installation_proxy_definition();

}  // namespace tarvosim

#endif
