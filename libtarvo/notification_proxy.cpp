/*
 * The notification proxy's client. Once a callback is set, a relay thread of
 * the library is the only reader of the connection and hands each relayed
 * name to the callback. The connection's state (and, under TLS, its cipher
 * state) cannot be used from two threads at once, so every read and every
 * write holds one lock. The relay thread waits for the next message with
 * the lock held; a sender (or a stop) rings the turns' wake-up descriptor,
 * which ends that wait at once, so neither waits for a time-out.
 */
#include "libtarvo/notification_proxy.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "debug.h"
#include "frame_receive.h"
#include "notification_proxy_private.h"
#include "owners.h"
#include "plist_channel.h"
#include "plist_items.h"
#include "service_connection.h"

namespace libtarvo {
namespace {

constexpr const char *kServiceName = "com.apple.mobile.notification_proxy";

// The connection lock, with senders served before the relay thread's next
// read: a reader that finds a sender waiting steps back until it has the
// lock. A sender rings wake_fd() so that a reader waiting for a message with
// the lock held lets go of it now.
class IoTurns {
  public:
    IoTurns() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~IoTurns() {
        if (wake_ >= 0) {
            close(wake_);
        }
    }
    IoTurns(const IoTurns &) = delete;
    IoTurns &operator=(const IoTurns &) = delete;

    std::unique_lock<std::mutex> sender_turn() {
        {
            std::lock_guard<std::mutex> g(state_);
            ++senders_waiting_;
        }
        ring();
        std::unique_lock<std::mutex> io(io_);
        {
            std::lock_guard<std::mutex> g(state_);
            --senders_waiting_;
        }
        changed_.notify_all();
        return io;
    }

    // A sender that arrives between the check and the lock is seen by the
    // second check; one that arrives later rings after the drain, so the
    // reader's wait ends at once.
    std::unique_lock<std::mutex> reader_turn() {
        for (;;) {
            {
                std::unique_lock<std::mutex> g(state_);
                changed_.wait(g, [this] { return senders_waiting_ == 0; });
            }
            drain_rings();
            std::unique_lock<std::mutex> io(io_);
            std::lock_guard<std::mutex> g(state_);
            if (senders_waiting_ == 0) {
                return io;
            }
        }
    }

    void ring() {
        const uint64_t one = 1;
        if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
            // The counter is full, so a ring is already pending.
        }
    }

    void drain_rings() {
        uint64_t rings = 0;
        if (wake_ >= 0 && read(wake_, &rings, sizeof rings) < 0) {
            rings = 0;  // not rung: nothing to take back
        }
    }

    /// -1 if the descriptor could not be made: readers then end their
    /// waits by time-out only.
    int wake_fd() const { return wake_; }

  private:
    int wake_;
    std::mutex io_;
    std::mutex state_;
    std::condition_variable changed_;
    int senders_waiting_ = 0;
};

std::string command_of(plist_t message, const char *key) {
    return tarvo::string_item(message, key).value_or("");
}

}  // namespace
}  // namespace libtarvo

struct np_client_private {
    std::unique_ptr<libtarvo::Connection> connection;
    std::string name;
    libtarvo::NotificationProxyWaits waits;
    libtarvo::IoTurns io;

    // The relay thread and what it calls; changed only by the caller's
    // thread, with the thread stopped.
    std::thread relay;
    std::atomic<bool> stop_relay{false};
    np_notify_cb_t callback = nullptr;
    void *user_data = nullptr;
    // Set by the relay thread when the device said ProxyDeath.
    std::atomic<bool> proxy_died{false};
};

namespace libtarvo {
namespace {

np_error_t np_error_from_status(Status status) {
    switch (status) {
        case Status::kOk:
            return NP_E_SUCCESS;
        case Status::kInvalidArg:
            return NP_E_INVALID_ARG;
        case Status::kTooLarge:
        case Status::kMalformed:
            return NP_E_PLIST_ERROR;
        default:
            return NP_E_CONN_FAILED;
    }
}

np_error_t send_command(np_client_t client, const char *command, const char *name) {
    PlistPtr message(plist_new_dict());
    plist_dict_set_item(message.get(), "Command", plist_new_string(command));
    if (name) {
        plist_dict_set_item(message.get(), "Name", plist_new_string(name));
    }
    std::vector<uint8_t> frame;
    if (Status s = encode_plist_frame(message.get(), PlistFormat::kXml, &frame); s != Status::kOk) {
        return np_error_from_status(s);
    }
    auto io = client->io.sender_turn();
    debug_plist(Direction::kSent, client->name, message.get());
    return np_error_from_status(client->connection->send_all(frame));
}

// One message, if one begins within `first_byte_ms`. kTimeout: none did.
Status receive_message(np_client_t client, PlistPtr *message, int first_byte_ms) {
    return receive_plist_message(*client->connection, client->name,
                                 FrameWaits{first_byte_ms, client->waits.completion_ms}, message);
}

void relay_loop(np_client_t client) {
    while (!client->stop_relay.load()) {
        PlistPtr message;
        Status s;
        bool in_step;
        {
            auto io = client->io.reader_turn();
            if (client->stop_relay.load()) {
                return;  // a stop rung before the turn's drain
            }
            s = client->connection->wait_readable(Deadline(client->waits.relay_slice_ms),
                                                  client->io.wake_fd());
            if (s == Status::kOk) {
                s = receive_message(client, &message, client->waits.relay_slice_ms);
            }
            in_step = !client->connection->broken();
        }
        if (s == Status::kTimeout && in_step) {
            continue;
        }
        if (s == Status::kMalformed) {
            continue;  // a whole frame that is no property list: skip it
        }
        if (s != Status::kOk) {
            debug_note(client->name, std::string("relay stopped: ") + status_name(s));
            return;
        }
        const std::string command = command_of(message.get(), "Command");
        if (command == "RelayNotification") {
            const std::string name = command_of(message.get(), "Name");
            if (!name.empty()) {
                client->callback(name.c_str(), client->user_data);
            }
        } else if (command == "ProxyDeath") {
            client->proxy_died = true;
            return;
        }
    }
}

bool on_relay_thread(np_client_t client) {
    return client->relay.joinable() && client->relay.get_id() == std::this_thread::get_id();
}

void stop_relay(np_client_t client) {
    if (!client->relay.joinable()) {
        return;
    }
    client->stop_relay = true;
    client->io.ring();
    client->relay.join();
    client->stop_relay = false;
    client->callback = nullptr;
    client->user_data = nullptr;
}

// After Shutdown the device answers ProxyDeath and closes; notifications
// still on the way are dropped.
void wait_for_proxy_death(np_client_t client) {
    Deadline deadline(client->waits.proxy_death_ms);
    while (!client->proxy_died && !deadline.expired() && !client->connection->broken()) {
        PlistPtr message;
        auto io = client->io.reader_turn();
        Status s = receive_message(client, &message, deadline.remaining_ms());
        if (s == Status::kOk && command_of(message.get(), "Command") == "ProxyDeath") {
            client->proxy_died = true;
        } else if (s != Status::kOk && s != Status::kMalformed) {
            return;
        }
    }
}

}  // namespace

np_error_t np_client_new_on(std::unique_ptr<Connection> connection, std::string name,
                            const NotificationProxyWaits &waits, np_client_t *client) {
    if (!connection || !client) {
        return NP_E_INVALID_ARG;
    }
    auto made = new np_client_private;
    made->connection = std::move(connection);
    made->name = std::move(name);
    made->waits = waits;
    *client = made;
    return NP_E_SUCCESS;
}

}  // namespace libtarvo

np_error_t np_client_new(tarvo_t device, lockdownd_service_descriptor_t service,
                         np_client_t *client) {
    if (!device || !service || !client) {
        return NP_E_INVALID_ARG;
    }
    std::unique_ptr<libtarvo::Connection> connection;
    if (libtarvo::Status s = libtarvo::service_connect(device, service, &connection);
        s != libtarvo::Status::kOk) {
        return s == libtarvo::Status::kInvalidArg ? NP_E_INVALID_ARG : NP_E_CONN_FAILED;
    }
    std::string name = service->identifier ? service->identifier : libtarvo::kServiceName;
    return libtarvo::np_client_new_on(std::move(connection), std::move(name),
                                      libtarvo::NotificationProxyWaits{}, client);
}

np_error_t np_client_free(np_client_t client) {
    if (!client) {
        return NP_E_INVALID_ARG;
    }
    if (libtarvo::on_relay_thread(client)) {
        return NP_E_INVALID_ARG;  // the callback cannot free the client it runs for
    }
    libtarvo::stop_relay(client);
    if (!client->proxy_died && !client->connection->broken()) {
        if (libtarvo::send_command(client, "Shutdown", nullptr) == NP_E_SUCCESS) {
            libtarvo::wait_for_proxy_death(client);
        }
    }
    delete client;
    return NP_E_SUCCESS;
}

np_error_t np_post_notification(np_client_t client, const char *notification) {
    if (!client || !notification) {
        return NP_E_INVALID_ARG;
    }
    return libtarvo::send_command(client, "PostNotification", notification);
}

np_error_t np_observe_notification(np_client_t client, const char *notification) {
    if (!client || !notification) {
        return NP_E_INVALID_ARG;
    }
    return libtarvo::send_command(client, "ObserveNotification", notification);
}

np_error_t np_observe_notifications(np_client_t client, const char **notification_spec) {
    if (!client || !notification_spec) {
        return NP_E_INVALID_ARG;
    }
    for (const char **name = notification_spec; *name; ++name) {
        if (np_error_t e = np_observe_notification(client, *name)) {
            return e;
        }
    }
    return NP_E_SUCCESS;
}

np_error_t np_set_notify_callback(np_client_t client, np_notify_cb_t notify_cb, void *user_data) {
    if (!client) {
        return NP_E_INVALID_ARG;
    }
    if (libtarvo::on_relay_thread(client)) {
        return NP_E_INVALID_ARG;  // the relay thread cannot stop and join itself
    }
    libtarvo::stop_relay(client);
    if (!notify_cb) {
        return NP_E_SUCCESS;
    }
    if (client->connection->broken() || client->proxy_died) {
        return NP_E_CONN_FAILED;
    }
    client->callback = notify_cb;
    client->user_data = user_data;
    client->relay = std::thread(libtarvo::relay_loop, client);
    return NP_E_SUCCESS;
}
