/*
 * SimulatedDevice: a device made from a fixture, as the daemon sees it.
 * Port 62078 is lockdown; other ports are those of services that lockdown
 * started, each taking one connection.
 */
#ifndef TARVO_SIM_SIM_DEVICE_H
#define TARVO_SIM_SIM_DEVICE_H

#include <functional>
#include <memory>
#include <string>

#include "device_state.h"
#include "fixture.h"
#include "lockdown_server.h"
#include "message_log.h"
#include "mux_daemon.h"
#include "service_registry.h"

namespace tarvosim {

class SimulatedDevice : public SimDevice {
  public:
    /// Opens the device's state in `state_dir` (generating its key when the
    /// fixture has none). Null with *error when that fails.
    static std::shared_ptr<SimulatedDevice> create(Fixture fixture, const std::string &state_dir,
                                                   ServiceRegistry services, bool debug,
                                                   std::string *error);

    std::string udid() const override { return fixture_.udid; }
    bool is_network() const override { return fixture_.is_network(); }
    bool listens_on(uint16_t port) const override;
    void serve(uint16_t port, UniqueFd connection) override;

    const Fixture &fixture() const { return fixture_; }
    DeviceState &state() { return state_; }
    /// How the device reboots (the daemon detaches and attaches it); set
    /// before the device serves anything. Unset: it cannot reboot.
    void set_reboot(std::function<void()> reboot) { reboot_ = std::move(reboot); }

  private:
    SimulatedDevice(Fixture fixture, const std::string &state_dir, ServiceRegistry services,
                    bool debug);
    void serve_service(uint16_t port, UniqueFd connection);

    Fixture fixture_;
    DeviceState state_;
    ServiceRegistry services_;
    ServicePorts ports_;
    MessageLog log_;
    std::function<void()> reboot_;
};

}  // namespace tarvosim

#endif
