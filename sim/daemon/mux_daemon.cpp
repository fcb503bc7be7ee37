/*
 * The simulated multiplexer daemon: accept loop, one thread per client, the
 * request handlers and attach/detach notifications.
 */
#include "mux_daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mux_wire.h"
#include "owners.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

using Clock = std::chrono::steady_clock;

// How often the accept loop wakes to join client threads that have finished.
constexpr int kReapIntervalMs = 200;
constexpr std::size_t kReadChunk = 64 * 1024;
// Values reported in the properties of USB devices; the notes leave them open.
constexpr uint64_t kUsbConnectionSpeed = 480000000;
constexpr uint64_t kUsbLocationBase = 0x00100000;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

void set_send_timeout(int fd, std::chrono::milliseconds timeout) {
    struct timeval tv {};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool send_all(int fd, const std::vector<uint8_t> &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, kSendFlags);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;  // includes a send timeout: the peer is not reading
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

/// Removes a leftover socket file from an earlier run. Anything that is not a
/// socket is left alone so a wrong path cannot destroy a user's file.
bool clear_stale_socket(const std::string &path, std::string *error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISSOCK(st.st_mode)) {
        *error = path + " exists and is not a socket";
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

}  // namespace

SimDevice::~SimDevice() = default;

uint32_t SimDevice::product_id() const {
    return 0x12A8;
}

std::vector<uint8_t> SimDevice::network_address() const {
    std::vector<uint8_t> address(16, 0);
    address[0] = 16;
    address[1] = AF_INET;
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    std::memcpy(&address[4], &loopback, sizeof loopback);
    return address;
}

struct MuxDaemon::Connection {
    explicit Connection(UniqueFd socket) : fd(std::move(socket)) {}

    UniqueFd fd;  // closed only after the thread is joined, so stop() may shut it down
    std::thread thread;
    std::atomic<bool> finished{false};
    bool listening = false;          // guarded by MuxDaemon::mutex_
    mutable std::mutex write_mutex;  // one frame at a time on the socket
};

MuxDaemon::MuxDaemon(MuxDaemonOptions options)
    : options_(std::move(options)), store_(options_.state_dir) {}

MuxDaemon::~MuxDaemon() {
    stop();
}

bool MuxDaemon::start(std::string *error) {
    std::string ignored;
    if (!error) {
        error = &ignored;
    }
    if (running()) {
        *error = "already running";
        return false;
    }
    if (!store_.ensure_dir()) {
        *error = "cannot create state folder " + options_.state_dir;
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (options_.socket_path.empty() || options_.socket_path.size() >= sizeof address.sun_path) {
        *error = "socket path empty or too long";
        return false;
    }
    std::memcpy(address.sun_path, options_.socket_path.c_str(), options_.socket_path.size() + 1);
    if (!clear_stale_socket(options_.socket_path, error)) {
        if (error->empty()) {
            *error = "cannot remove stale socket " + options_.socket_path;
        }
        return false;
    }

    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int pipe_fds[2];
    if (!listener || ::pipe(pipe_fds) != 0) {
        *error = std::string("socket/pipe: ") + std::strerror(errno);
        return false;
    }
    wake_read_.reset(pipe_fds[0]);
    wake_write_.reset(pipe_fds[1]);
    ::fcntl(wake_read_.get(), F_SETFD, FD_CLOEXEC);
    ::fcntl(wake_write_.get(), F_SETFD, FD_CLOEXEC);
    ::fcntl(listener.get(), F_SETFL, ::fcntl(listener.get(), F_GETFL) | O_NONBLOCK);
    if (::bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 16) != 0) {
        *error = options_.socket_path + ": " + std::strerror(errno);
        return false;
    }
    listen_fd_ = std::move(listener);
    stopping_ = false;
    accept_thread_ = std::thread([this] { accept_loop(); });
    return true;
}

void MuxDaemon::stop() {
    if (!running()) {
        return;
    }
    std::vector<Reboot> reboots;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        reboots.swap(reboots_);
    }
    stop_signal_.notify_all();
    for (Reboot &reboot : reboots) {
        reboot.thread.join();
    }
    const char byte = 1;
    while (::write(wake_write_.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    accept_thread_.join();

    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard lock(mutex_);
        for (auto &connection : connections_) {
            ::shutdown(connection->fd.get(), SHUT_RDWR);
        }
        connections.swap(connections_);
    }
    // Joined without the lock: a client thread may still need it to finish.
    for (auto &connection : connections) {
        connection->thread.join();
    }
    connections.clear();
    listen_fd_.reset();
    ::unlink(options_.socket_path.c_str());
    wake_read_.reset();
    wake_write_.reset();
}

uint32_t MuxDaemon::add_device(std::shared_ptr<SimDevice> device) {
    std::lock_guard lock(mutex_);
    const uint32_t id = next_device_id_++;
    devices_.push_back({id, std::move(device)});
    PlistPtr attached(attached_message_locked(devices_.back()));
    notify_listeners_locked(attached.get());
    return id;
}

bool MuxDaemon::remove_device(uint32_t device_id) {
    std::lock_guard lock(mutex_);
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->id == device_id) {
            devices_.erase(it);
            PlistPtr detached(plist_new_dict());
            plist_dict_set_item(detached.get(), "MessageType", plist_new_string("Detached"));
            plist_dict_set_item(detached.get(), "DeviceID", plist_new_uint(device_id));
            notify_listeners_locked(detached.get());
            return true;
        }
    }
    return false;
}

bool MuxDaemon::reboot_device(const SimDevice *device, std::chrono::milliseconds downtime) {
    std::shared_ptr<SimDevice> held;
    uint32_t id = 0;
    {
        std::lock_guard lock(mutex_);
        for (const Device &attached : devices_) {
            if (attached.device.get() == device) {
                held = attached.device;
                id = attached.id;
            }
        }
    }
    if (!held || !remove_device(id)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return true;
    }
    // Threads of finished reboots are joined here, so a long soak of
    // restores does not pile them up.
    std::erase_if(reboots_, [](Reboot &reboot) {
        if (!reboot.done->load()) {
            return false;
        }
        reboot.thread.join();
        return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread waiter([this, held, downtime, done] {
        std::unique_lock wait(mutex_);
        const bool stopped =
            stop_signal_.wait_for(wait, downtime, [this] { return stopping_.load(); });
        wait.unlock();
        if (!stopped) {
            add_device(held);
        }
        done->store(true);
    });
    reboots_.push_back({std::move(waiter), std::move(done)});
    return true;
}

void MuxDaemon::set_faults(const MuxDaemonFaults &faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

MuxDaemonFaults MuxDaemon::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void MuxDaemon::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
        int ready = ::poll(fds, 2, kReapIntervalMs);
        if (stopping_ || (ready > 0 && fds[1].revents != 0)) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            reap_finished_locked();
        }
        if (ready > 0 && fds[0].revents != 0) {
            accept_one();
        }
    }
}

void MuxDaemon::accept_one() {
    UniqueFd client(::accept(listen_fd_.get(), nullptr, nullptr));
    if (!client) {
        return;  // the client went away already, or a transient error
    }
    ::fcntl(client.get(), F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
    int one = 1;
    ::setsockopt(client.get(), SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    set_send_timeout(client.get(), options_.io_timeout);

    std::lock_guard lock(mutex_);
    if (connections_.size() >= options_.max_clients) {
        return;  // closing it is the only answer a flooding client gets
    }
    auto connection = std::make_unique<Connection>(std::move(client));
    Connection *raw = connection.get();
    connections_.push_back(std::move(connection));
    raw->thread = std::thread([this, raw] { serve_client(raw); });
}

void MuxDaemon::reap_finished_locked() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

MuxDaemon::Wait MuxDaemon::wait_readable(int fd, std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (stopping_) {
            return Wait::kStopped;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) {
            return Wait::kTimeout;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
        int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return Wait::kStopped;
        }
        if (ready > 0) {
            if (fds[1].revents != 0) {
                return Wait::kStopped;
            }
            return Wait::kReady;  // data, EOF or an error: the read will tell
        }
        if (ready == 0) {
            return Wait::kTimeout;
        }
    }
}

void MuxDaemon::hold_until_closed(Connection *connection) const {
    uint8_t scratch[4096];
    for (;;) {
        pollfd fds[2] = {{connection->fd.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
        int ready = ::poll(fds, 2, -1);
        if (stopping_ || (ready < 0 && errno != EINTR) || (ready > 0 && fds[1].revents != 0)) {
            return;
        }
        if (ready > 0) {
            // Whatever a held client sends is not a request; only its close matters.
            ssize_t n = ::recv(connection->fd.get(), scratch, sizeof scratch, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                return;
            }
        }
    }
}

void MuxDaemon::serve_client(Connection *connection) {
    MuxDecoder decoder;
    std::vector<uint8_t> chunk(kReadChunk);
    bool open = true;
    while (open) {
        MuxMessage message;
        switch (decoder.next(&message)) {
            case MuxDecodeResult::kMessage:
                open = dispatch(connection, message.tag, message.payload.get()) == After::kContinue;
                continue;
            case MuxDecodeResult::kMalformed:
            case MuxDecodeResult::kTooLarge:
                open = false;  // no way to find the next frame: drop the client
                continue;
            case MuxDecodeResult::kNeedMore:
                break;
        }
        if (wait_readable(connection->fd.get(), options_.io_timeout) != Wait::kReady) {
            break;
        }
        ssize_t n = ::recv(connection->fd.get(), chunk.data(), chunk.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        decoder.feed(std::span<const uint8_t>(chunk.data(), static_cast<std::size_t>(n)));
    }
    {
        std::lock_guard lock(mutex_);
        connection->listening = false;
    }
    // The peer sees the end now; the descriptor itself is closed when the
    // accept loop or stop() joins this thread.
    ::shutdown(connection->fd.get(), SHUT_RDWR);
    connection->finished = true;
}

MuxDaemon::After MuxDaemon::dispatch(Connection *connection, uint32_t tag, plist_t request) {
    const std::string type = tarvo::string_item(request, "MessageType").value_or("");
    if (type == "ListDevices") {
        return handle_list_devices(connection, tag);
    }
    if (type == "Listen") {
        return handle_listen(connection, tag);
    }
    if (type == "Connect") {
        return handle_connect(connection, tag, request);
    }
    if (type == "ReadBUID") {
        return handle_read_buid(connection, tag);
    }
    if (type == "ReadPairRecord") {
        return handle_read_pair_record(connection, tag, request);
    }
    if (type == "SavePairRecord") {
        return handle_save_pair_record(connection, tag, request);
    }
    if (type == "DeletePairRecord") {
        return handle_delete_pair_record(connection, tag, request);
    }
    return send_result(connection, tag, kMuxResultBadCommand) ? After::kContinue : After::kClose;
}

plist_t MuxDaemon::attached_message_locked(const Device &device) const {
    const SimDevice &sim = *device.device;
    plist_t properties = plist_new_dict();
    const bool network = sim.is_network();
    plist_dict_set_item(properties, "ConnectionType",
                        plist_new_string(network ? "Network" : "USB"));
    plist_dict_set_item(properties, "DeviceID", plist_new_uint(device.id));
    plist_dict_set_item(properties, "LocationID",
                        plist_new_uint(network ? 0 : kUsbLocationBase + device.id));
    plist_dict_set_item(properties, "ProductID", plist_new_uint(sim.product_id()));
    plist_dict_set_item(properties, "SerialNumber", plist_new_string(sim.udid().c_str()));
    if (network) {
        std::vector<uint8_t> address = sim.network_address();
        plist_dict_set_item(
            properties, "NetworkAddress",
            plist_new_data(reinterpret_cast<const char *>(address.data()), address.size()));
    } else {
        plist_dict_set_item(properties, "ConnectionSpeed", plist_new_uint(kUsbConnectionSpeed));
    }
    plist_t message = plist_new_dict();
    plist_dict_set_item(message, "DeviceID", plist_new_uint(device.id));
    plist_dict_set_item(message, "MessageType", plist_new_string("Attached"));
    plist_dict_set_item(message, "Properties", properties);
    return message;
}

void MuxDaemon::notify_listeners_locked(plist_t message) {
    // Sent under the daemon's lock so that events keep their order; a
    // listener that stops reading holds it for at most one send timeout.
    for (auto &connection : connections_) {
        if (connection->listening && !connection->finished &&
            !send_message(connection.get(), 0, message)) {
            // A listener that does not take its notifications is dropped.
            ::shutdown(connection->fd.get(), SHUT_RDWR);
        }
    }
}

bool MuxDaemon::send_message(Connection *connection, uint32_t tag, plist_t message) const {
    std::vector<uint8_t> frame = mux_encode_plist(tag, message);
    if (frame.empty()) {
        return false;
    }
    std::lock_guard lock(connection->write_mutex);
    return send_all(connection->fd.get(), frame);
}

bool MuxDaemon::send_result(Connection *connection, uint32_t tag, uint32_t number) const {
    PlistPtr result(plist_new_dict());
    plist_dict_set_item(result.get(), "MessageType", plist_new_string("Result"));
    plist_dict_set_item(result.get(), "Number", plist_new_uint(number));
    return send_message(connection, tag, result.get());
}

MuxDaemon::After MuxDaemon::handle_list_devices(Connection *connection, uint32_t tag) {
    PlistPtr reply(plist_new_dict());
    plist_t list = plist_new_array();
    {
        std::lock_guard lock(mutex_);
        for (const Device &device : devices_) {
            plist_array_append_item(list, attached_message_locked(device));
        }
    }
    plist_dict_set_item(reply.get(), "DeviceList", list);
    return send_message(connection, tag, reply.get()) ? After::kContinue : After::kClose;
}

MuxDaemon::After MuxDaemon::handle_listen(Connection *connection, uint32_t tag) {
    {
        // Under the lock, so that no device can come or go between the
        // snapshot sent here and the notifications that follow.
        std::lock_guard lock(mutex_);
        if (!send_result(connection, tag, kMuxResultOk)) {
            return After::kClose;
        }
        for (const Device &device : devices_) {
            PlistPtr attached(attached_message_locked(device));
            if (!send_message(connection, 0, attached.get())) {
                return After::kClose;
            }
        }
        connection->listening = true;
    }
    hold_until_closed(connection);
    return After::kClose;
}

MuxDaemon::After MuxDaemon::handle_connect(Connection *connection, uint32_t tag, plist_t request) {
    const std::optional<uint64_t> device_id = tarvo::uint_item(request, "DeviceID");
    const std::optional<uint64_t> port_field = tarvo::uint_item(request, "PortNumber");
    if (!device_id || !port_field || *port_field > 0xFFFF) {
        return send_result(connection, tag, kMuxResultBadCommand) ? After::kContinue
                                                                  : After::kClose;
    }
    // The client stores the port in network byte order inside the integer.
    const uint16_t port = ntohs(static_cast<uint16_t>(*port_field));
    std::shared_ptr<SimDevice> device;
    {
        std::lock_guard lock(mutex_);
        for (const Device &candidate : devices_) {
            if (candidate.id == *device_id) {
                device = candidate.device;
            }
        }
    }
    if (!device) {
        return send_result(connection, tag, kMuxResultBadDevice) ? After::kContinue : After::kClose;
    }
    if (!device->listens_on(port)) {
        return send_result(connection, tag, kMuxResultConnectionRefused) ? After::kContinue
                                                                         : After::kClose;
    }
    if (!send_result(connection, tag, kMuxResultOk)) {
        return After::kClose;
    }
    // The device gets its own descriptor of the same socket; ours stays
    // registered so that stop() can shut the socket down under the device.
    UniqueFd handed(::fcntl(connection->fd.get(), F_DUPFD_CLOEXEC, 0));
    if (handed) {
        set_send_timeout(handed.get(), std::chrono::milliseconds(0));
        device->serve(port, std::move(handed));
    }
    return After::kClose;
}

MuxDaemon::After MuxDaemon::handle_read_buid(Connection *connection, uint32_t tag) {
    const std::string buid = store_.system_buid();
    if (buid.empty()) {
        return send_result(connection, tag, kMuxResultBadCommand) ? After::kContinue
                                                                  : After::kClose;
    }
    PlistPtr reply(plist_new_dict());
    plist_dict_set_item(reply.get(), "BUID", plist_new_string(buid.c_str()));
    return send_message(connection, tag, reply.get()) ? After::kContinue : After::kClose;
}

MuxDaemon::After MuxDaemon::handle_read_pair_record(Connection *connection, uint32_t tag,
                                                    plist_t request) {
    if (faults().stall_read_pair_record) {
        hold_until_closed(connection);
        return After::kClose;
    }
    std::vector<uint8_t> data;
    uint32_t number = kMuxResultBadCommand;
    switch (store_.read(tarvo::string_item(request, "PairRecordID").value_or(""), &data)) {
        case StoreStatus::kOk: {
            PlistPtr reply(plist_new_dict());
            plist_dict_set_item(
                reply.get(), "PairRecordData",
                plist_new_data(reinterpret_cast<const char *>(data.data()), data.size()));
            return send_message(connection, tag, reply.get()) ? After::kContinue : After::kClose;
        }
        case StoreStatus::kNotFound:
            number = kMuxResultBadDevice;
            break;
        default:
            break;
    }
    return send_result(connection, tag, number) ? After::kContinue : After::kClose;
}

MuxDaemon::After MuxDaemon::handle_save_pair_record(Connection *connection, uint32_t tag,
                                                    plist_t request) {
    uint32_t number = faults().pair_record_write_result;
    const std::optional<std::vector<uint8_t>> record = tarvo::data_item(request, "PairRecordData");
    if (number != kMuxResultOk) {
        // injected failure: answer it and leave the store alone
    } else if (!record) {
        number = kMuxResultBadCommand;
    } else {
        // "DeviceID" names the device being paired; with no device behaviour
        // attached to pairing yet, the record is stored whatever it says.
        number = store_.save(tarvo::string_item(request, "PairRecordID").value_or(""), *record) ==
                         StoreStatus::kOk
                     ? kMuxResultOk
                     : kMuxResultBadCommand;
    }
    return send_result(connection, tag, number) ? After::kContinue : After::kClose;
}

MuxDaemon::After MuxDaemon::handle_delete_pair_record(Connection *connection, uint32_t tag,
                                                      plist_t request) {
    uint32_t number = faults().pair_record_write_result;
    if (number == kMuxResultOk) {
        switch (store_.remove(tarvo::string_item(request, "PairRecordID").value_or(""))) {
            case StoreStatus::kOk:
                break;
            case StoreStatus::kNotFound:
                number = kMuxResultBadDevice;
                break;
            default:
                number = kMuxResultBadCommand;
                break;
        }
    }
    return send_result(connection, tag, number) ? After::kContinue : After::kClose;
}

}  // namespace tarvosim
