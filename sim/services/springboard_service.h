/*
 * Springboard services ("com.apple.springboardservices") of a simulated
 * device: "getIconPNGData" hands out an installed app's icon.
 */
#ifndef TARVO_SIM_SPRINGBOARD_SERVICE_H
#define TARVO_SIM_SPRINGBOARD_SERVICE_H

#include "service_registry.h"

namespace tarvosim {

inline constexpr const char *kSpringboardService = "com.apple.springboardservices";

ServiceDefinition springboard_definition();

}  // namespace tarvosim

#endif
