/*
 * The notification proxy service and the device's relay between its
 * connections.
 */
#include "notification_proxy_service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "plist_frame.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

// An observer legitimately waits through a whole sync without a word; this
// only frees connections that were forgotten.
constexpr auto kIdleWait = std::chrono::hours(24);
constexpr auto kFrameWait = std::chrono::seconds(10);
// Longer names are no notification any device posts.
constexpr std::size_t kMaxNameLength = 1024;

PlistPtr command_message(const char *command, const std::string *name) {
    PlistPtr message(plist_new_dict());
    plist_dict_set_item(message.get(), "Command", plist_new_string(command));
    if (name) {
        plist_dict_set_item(message.get(), "Name", plist_new_string(name->c_str()));
    }
    return message;
}

int remaining_ms(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60 * 60 * 1000));
}

class NotificationProxy : public SimService {
  public:
    NotificationProxy(const ServiceContext &context, std::shared_ptr<NotificationHub> hub,
                      std::shared_ptr<PostedNotificationLog> posted)
        : context_(context), hub_(std::move(hub)), posted_(std::move(posted)) {}

    void serve(ServiceSocket &socket) override {
        auto observer = std::make_shared<NotificationObserver>();
        if (!observer->ok()) {
            context_.log.note(context_.name, "connection dropped: no wake-up descriptor");
            return;
        }
        hub_->add(observer);
        run(socket, *observer);
        hub_->remove(observer.get());
    }

  private:
    enum class Event { kRequest, kRelays, kEnd };
    enum class Then { kGoOn, kStop };

    void run(ServiceSocket &socket, NotificationObserver &observer) {
        auto idle_deadline = SteadyClock::now() + kIdleWait;
        for (;;) {
            const Event event = wait(socket, observer, idle_deadline);
            if (event == Event::kEnd) {
                return;
            }
            if (event == Event::kRelays) {
                if (send_relays(socket, observer) == Then::kStop) {
                    return;
                }
            } else if (read_and_handle(socket, observer) == Then::kStop) {
                return;
            }
            idle_deadline = SteadyClock::now() + kIdleWait;
        }
    }

    /// Waits for a request from the host or a relay to send, whichever
    /// comes first. Relays go first so a busy host cannot starve them.
    Event wait(ServiceSocket &socket, NotificationObserver &observer,
               SteadyClock::time_point deadline) {
        for (;;) {
            pollfd entries[2] = {{observer.wake_fd(), POLLIN, 0}, {socket.fd(), POLLIN, 0}};
            // Bytes already decrypted by TLS do not show on the socket.
            const bool buffered = socket.tls_active() &&
                                  socket.wait_readable(SteadyClock::now()) == SocketStatus::kOk;
            const int ready = ::poll(entries, 2, buffered ? 0 : remaining_ms(deadline));
            if (ready < 0 && errno != EINTR) {
                return Event::kEnd;
            }
            if (ready > 0 && (entries[0].revents & POLLIN)) {
                return Event::kRelays;
            }
            if (buffered || (ready > 0 && entries[1].revents != 0)) {
                return Event::kRequest;
            }
            if (SteadyClock::now() >= deadline) {
                context_.log.note(context_.name, "connection dropped: idle too long");
                return Event::kEnd;
            }
        }
    }

    Then send(ServiceSocket &socket, plist_t message) {
        context_.log.sent(context_.name, message);
        return write_plist_frame(socket, message, PlistEncoding::kXml,
                                 SteadyClock::now() + kFrameWait) == SocketStatus::kOk
                   ? Then::kGoOn
                   : Then::kStop;
    }

    Then send_relays(ServiceSocket &socket, NotificationObserver &observer) {
        for (const std::string &name : observer.take_pending()) {
            PlistPtr relay = command_message("RelayNotification", &name);
            if (send(socket, relay.get()) == Then::kStop) {
                return Then::kStop;
            }
        }
        return Then::kGoOn;
    }

    Then read_and_handle(ServiceSocket &socket, NotificationObserver &observer) {
        PlistPtr request;
        // The wait above saw the frame begin (or the end of the stream).
        const FrameStatus status = read_plist_frame(
            socket, FrameWaits{std::chrono::milliseconds(0), kFrameWait}, &request);
        if (status == FrameStatus::kIdle) {
            return Then::kGoOn;
        }
        if (status != FrameStatus::kOk) {
            if (status != FrameStatus::kClosed) {
                context_.log.note(context_.name, "connection dropped: unreadable request");
            }
            return Then::kStop;
        }
        context_.log.received(context_.name, request.get());
        if (plist_get_node_type(request.get()) != PLIST_DICT) {
            context_.log.note(context_.name, "connection dropped: request is not a dictionary");
            return Then::kStop;
        }
        return handle(socket, observer, request.get());
    }

    Then handle(ServiceSocket &socket, NotificationObserver &observer, plist_t request) {
        const std::string command = tarvo::string_item(request, "Command").value_or("");
        if (command == "Shutdown") {
            PlistPtr death = command_message("ProxyDeath", nullptr);
            send(socket, death.get());
            return Then::kStop;
        }
        if (command != "ObserveNotification" && command != "PostNotification") {
            context_.log.note(context_.name, "ignored: unknown command \"" + command + "\"");
            return Then::kGoOn;
        }
        const std::optional<std::string> name = tarvo::string_item(request, "Name");
        if (!name || name->empty() || name->size() > kMaxNameLength) {
            context_.log.note(context_.name, "ignored: " + command + " without a usable Name");
            return Then::kGoOn;
        }
        if (command == "ObserveNotification") {
            if (!observer.observe(*name)) {
                context_.log.note(context_.name, "ignored: too many observed names");
            }
            return Then::kGoOn;
        }
        if (posted_ && !posted_->append(*name)) {
            context_.log.note(context_.name, "\"" + *name + "\" not written to " + posted_->path());
        }
        const std::size_t relayed = hub_->post(*name);
        context_.log.note(context_.name, "posted \"" + *name + "\", relayed to " +
                                             std::to_string(relayed) + " observer(s)");
        return Then::kGoOn;
    }

    const ServiceContext &context_;
    std::shared_ptr<NotificationHub> hub_;
    std::shared_ptr<PostedNotificationLog> posted_;
};

}  // namespace

NotificationObserver::NotificationObserver() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool NotificationObserver::observe(const std::string &name) {
    std::lock_guard lock(mutex_);
    if (names_.count(name) == 0 && names_.size() >= kMaxNames) {
        return false;
    }
    names_.insert(name);
    return true;
}

bool NotificationObserver::offer(const std::string &name) {
    std::lock_guard lock(mutex_);
    if (names_.count(name) == 0) {
        return false;
    }
    if (pending_.size() >= kMaxPending) {
        pending_.pop_front();
    }
    pending_.push_back(name);
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_.get(), &one, sizeof one);
    return true;
}

std::vector<std::string> NotificationObserver::take_pending() {
    std::lock_guard lock(mutex_);
    uint64_t count = 0;
    [[maybe_unused]] ssize_t ignored = ::read(wake_.get(), &count, sizeof count);
    std::vector<std::string> taken(pending_.begin(), pending_.end());
    pending_.clear();
    return taken;
}

void NotificationHub::add(const std::shared_ptr<NotificationObserver> &observer) {
    std::lock_guard lock(mutex_);
    observers_.push_back(observer);
}

void NotificationHub::remove(const NotificationObserver *observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [observer](const std::weak_ptr<NotificationObserver> &entry) {
        std::shared_ptr<NotificationObserver> live = entry.lock();
        return !live || live.get() == observer;
    });
}

std::size_t NotificationHub::post(const std::string &name) {
    std::vector<std::shared_ptr<NotificationObserver>> live;
    {
        std::lock_guard lock(mutex_);
        for (const auto &entry : observers_) {
            if (std::shared_ptr<NotificationObserver> observer = entry.lock()) {
                live.push_back(std::move(observer));
            }
        }
    }
    std::size_t relayed = 0;
    for (const auto &observer : live) {
        relayed += observer->offer(name) ? 1 : 0;
    }
    return relayed;
}

bool PostedNotificationLog::append(std::string_view name) {
    std::string line;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            line += escaped;
        } else {
            line += c;
        }
    }
    line += '\n';
    std::lock_guard lock(mutex_);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    UniqueFd fd(
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 ||
        static_cast<uint64_t>(st.st_size) + line.size() > kMaxFileSize) {
        return false;
    }
    return ::write(fd.get(), line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

ServiceDefinition notification_proxy_definition(std::shared_ptr<NotificationHub> hub,
                                                std::shared_ptr<PostedNotificationLog> posted) {
    ServiceDefinition definition;
    definition.name = kNotificationProxyService;
    definition.use_tls = false;
    definition.create = [hub,
                         posted](const ServiceContext &context) -> std::unique_ptr<SimService> {
        return std::make_unique<NotificationProxy>(context, hub, posted);
    };
    return definition;
}

}  // namespace tarvosim
