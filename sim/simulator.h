/*
 * Simulator: the simulated multiplexer daemon with its devices, made from
 * fixture folders and a state folder. The tarvosim program and the in-process
 * test harness both run one.
 */
#ifndef TARVO_SIM_SIMULATOR_H
#define TARVO_SIM_SIMULATOR_H

#include <memory>
#include <string>
#include <vector>

#include "mux_daemon.h"
#include "sim_device.h"

namespace tarvosim {

class Simulator {
  public:
    struct Options {
        std::string socket_path;
        std::string state_dir;
        /// Empty: the bundled iPhone fixture.
        std::vector<std::string> fixture_dirs;
        /// Trace every device message on standard error.
        bool debug = false;
    };

    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    /// Loads every fixture, opens each device's state and starts serving the
    /// socket. False with *error (naming the fixture or path) when anything
    /// fails; nothing is left running then.
    bool start(std::string *error);
    /// Stops serving and removes the socket file. Safe to call twice.
    void stop();
    bool running() const { return daemon_ != nullptr; }

    /// The bundled fixtures/iphone folder of the source tree.
    static std::string default_fixture_dir();

    /// Valid while running: for tests that play with the daemon itself.
    MuxDaemon *daemon() { return daemon_.get(); }
    const std::vector<std::shared_ptr<SimulatedDevice>> &devices() const { return devices_; }

  private:
    Options options_;
    std::unique_ptr<MuxDaemon> daemon_;
    std::vector<std::shared_ptr<SimulatedDevice>> devices_;
};

}  // namespace tarvosim

#endif
