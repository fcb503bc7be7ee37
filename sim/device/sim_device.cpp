/*
 * Routing of a simulated device's connections to lockdown and to started
 * services.
 */
#include "sim_device.h"

namespace tarvosim {
namespace {

constexpr auto kServiceHandshakeWait = std::chrono::seconds(10);

}  // namespace

std::shared_ptr<SimulatedDevice> SimulatedDevice::create(Fixture fixture,
                                                         const std::string &state_dir,
                                                         ServiceRegistry services, bool debug,
                                                         std::string *error) {
    std::shared_ptr<SimulatedDevice> device(
        new SimulatedDevice(std::move(fixture), state_dir, std::move(services), debug));
    std::string why;
    if (!device->state_.open(device->fixture_.device_private_key_pem, &why)) {
        *error = "device " + device->fixture_.udid + ": " + why;
        return nullptr;
    }
    return device;
}

SimulatedDevice::SimulatedDevice(Fixture fixture, const std::string &state_dir,
                                 ServiceRegistry services, bool debug)
    : fixture_(std::move(fixture)),
      state_(state_dir, fixture_.udid),
      services_(std::move(services)),
      log_(debug, fixture_.udid) {}

bool SimulatedDevice::listens_on(uint16_t port) const {
    return port == kLockdownPort || ports_.is_open(port);
}

void SimulatedDevice::serve(uint16_t port, UniqueFd connection) {
    if (port == kLockdownPort) {
        LockdownServer(LockdownDevice{fixture_, state_, services_, ports_, log_, reboot_},
                       std::move(connection))
            .run();
        return;
    }
    serve_service(port, std::move(connection));
}

void SimulatedDevice::serve_service(uint16_t port, UniqueFd connection) {
    ServiceSocket socket(std::move(connection));
    // Another connection may have taken the port since listens_on() said yes.
    std::optional<StartedService> started = ports_.take(port);
    if (!started) {
        socket.shut_down();
        return;
    }
    const std::string &name = started->context->name;
    if (!started->service) {
        log_.note(name, "connection dropped: the service could not be created");
        socket.shut_down();
        return;
    }
    if (started->use_tls) {
        const TrustedHost &host = started->context->host;
        const TlsServerIdentity identity{host.device_certificate, state_.private_key(),
                                         host.root_certificate};
        std::string error;
        if (!socket.start_tls_server(identity, SteadyClock::now() + kServiceHandshakeWait,
                                     &error)) {
            log_.note(name, "connection dropped: " + error);
            socket.shut_down();
            return;
        }
    }
    log_.note(name, "connected on port " + std::to_string(port));
    started->service->serve(socket);
    socket.shut_down();
}

}  // namespace tarvosim
