/*
 * MuxDaemon: the simulated USB multiplexer daemon. It serves the plist
 * protocol on a UNIX socket from background threads: device listing and
 * attach notifications, connections to device ports, the system BUID and the
 * pair records of its state folder. Devices are plugged in through SimDevice.
 */
#ifndef TARVO_SIM_MUX_DAEMON_H
#define TARVO_SIM_MUX_DAEMON_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <plist/plist.h>

#include "pair_record_store.h"
#include "unique_fd.h"

namespace tarvosim {

/// A device as the daemon sees it. Implementations must be safe to call from
/// several connection threads at once. All members but serve() may be called
/// with the daemon's lock held, so they must not call back into the daemon.
class SimDevice {
  public:
    virtual ~SimDevice();

    virtual std::string udid() const = 0;
    virtual bool is_network() const = 0;
    virtual bool listens_on(uint16_t port) const = 0;
    /// Takes over a client's connection to `port` (host byte order). Runs on
    /// that connection's thread; the socket is blocking with no timeouts set.
    /// Must return once the socket is shut down: MuxDaemon::stop() shuts down
    /// every connection and waits for serve() to return.
    virtual void serve(uint16_t port, UniqueFd connection) = 0;

    /// "ProductID" in the device's properties.
    virtual uint32_t product_id() const;
    /// "NetworkAddress" of a network device: raw socket address bytes, which
    /// the client library hands on untouched as the device's connection data.
    /// The exact layout is not documented; the default is an IPv4 loopback
    /// address in the BSD layout (length byte, family byte, port, address,
    /// zero padding).
    virtual std::vector<uint8_t> network_address() const;
};

/// Result numbers of the protocol.
enum MuxResult : uint32_t {
    kMuxResultOk = 0,
    kMuxResultBadCommand = 1,
    kMuxResultBadDevice = 2,
    kMuxResultConnectionRefused = 3,
    kMuxResultBadVersion = 6,
};

struct MuxDaemonOptions {
    std::string socket_path;
    std::string state_dir;
    /// Longest wait for a client's next bytes (and for a send to drain)
    /// before the client is dropped.
    std::chrono::milliseconds io_timeout{10000};
    /// Clients beyond this many at once are closed on accept.
    std::size_t max_clients = 64;
};

/// Test-only fault injection: each switch makes the daemon misbehave in one
/// way so that clients' failure paths can be driven. All off by default.
struct MuxDaemonFaults {
    /// ReadPairRecord is read but never answered; the connection is held open
    /// until the client gives up or the daemon stops (drives client timeouts).
    bool stall_read_pair_record = false;
    /// When non-zero, SavePairRecord and DeletePairRecord are answered with
    /// this Result number and the store is left alone.
    uint32_t pair_record_write_result = 0;
};

class MuxDaemon {
  public:
    explicit MuxDaemon(MuxDaemonOptions options);
    ~MuxDaemon();
    MuxDaemon(const MuxDaemon &) = delete;
    MuxDaemon &operator=(const MuxDaemon &) = delete;

    /// Creates the state folder if needed, binds the socket (replacing a stale
    /// socket file, never another kind of file) and starts accepting.
    bool start(std::string *error);
    /// Stops accepting, shuts down every client connection and joins every
    /// thread. Bounded as long as SimDevice::serve keeps its contract.
    void stop();
    bool running() const { return accept_thread_.joinable(); }

    /// DeviceIDs are handed out 1, 2, ... in the order of the calls. Clients
    /// in Listen mode are told about the device.
    uint32_t add_device(std::shared_ptr<SimDevice> device);
    /// Detaches a device; listening clients get "Detached". False if unknown.
    bool remove_device(uint32_t device_id);
    /// What a reboot looks like from the host: the device detaches now and
    /// attaches again after `downtime` with a new DeviceID. stop() cuts the
    /// wait short. False if the device is not attached.
    bool reboot_device(const SimDevice *device, std::chrono::milliseconds downtime);

    void set_faults(const MuxDaemonFaults &faults);

    PairRecordStore &store() { return store_; }

  private:
    struct Connection;
    struct Device {
        uint32_t id;
        std::shared_ptr<SimDevice> device;
    };
    enum class Wait { kReady, kTimeout, kStopped };
    enum class After { kContinue, kClose };

    void accept_loop();
    void accept_one();
    void reap_finished_locked();
    void serve_client(Connection *connection);
    After dispatch(Connection *connection, uint32_t tag, plist_t request);

    After handle_list_devices(Connection *connection, uint32_t tag);
    After handle_listen(Connection *connection, uint32_t tag);
    After handle_connect(Connection *connection, uint32_t tag, plist_t request);
    After handle_read_buid(Connection *connection, uint32_t tag);
    After handle_read_pair_record(Connection *connection, uint32_t tag, plist_t request);
    After handle_save_pair_record(Connection *connection, uint32_t tag, plist_t request);
    After handle_delete_pair_record(Connection *connection, uint32_t tag, plist_t request);

    Wait wait_readable(int fd, std::chrono::milliseconds timeout) const;
    void hold_until_closed(Connection *connection) const;
    bool send_message(Connection *connection, uint32_t tag, plist_t message) const;
    bool send_result(Connection *connection, uint32_t tag, uint32_t number) const;
    void notify_listeners_locked(plist_t message);
    plist_t attached_message_locked(const Device &device) const;
    MuxDaemonFaults faults() const;

    MuxDaemonOptions options_;
    PairRecordStore store_;

    mutable std::mutex mutex_;  // guards everything below except the fds and the thread
    std::vector<Device> devices_;
    uint32_t next_device_id_ = 1;
    MuxDaemonFaults faults_;
    std::list<std::unique_ptr<Connection>> connections_;

    UniqueFd listen_fd_;
    UniqueFd wake_read_;  // readable once stop() has begun
    UniqueFd wake_write_;
    std::atomic<bool> stopping_{false};
    std::thread accept_thread_;

    // Devices that are rebooting, each waiting on its own thread.
    struct Reboot {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::condition_variable stop_signal_;  // with mutex_: stop() has begun
    std::vector<Reboot> reboots_;          // guarded by mutex_
};

}  // namespace tarvosim

#endif
