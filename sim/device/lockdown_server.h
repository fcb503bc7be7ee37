/*
 * The device side of one lockdown connection (port 62078): plain framing
 * until a session starts, TLS inside a session, and the requests hosts send:
 * QueryType, GetValue, SetValue, RemoveValue, Pair, ValidatePair, Unpair,
 * StartSession, StopSession, StartService, Goodbye and the four steps of
 * wireless pairing. The fixture's pairing policy and faults decide how the
 * device behaves.
 */
#ifndef TARVO_SIM_LOCKDOWN_SERVER_H
#define TARVO_SIM_LOCKDOWN_SERVER_H

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "cu_pairing_server.h"
#include "device_state.h"
#include "fixture.h"
#include "message_log.h"
#include "plist_frame.h"
#include "service_registry.h"
#include "service_socket.h"

namespace tarvosim {

inline constexpr uint16_t kLockdownPort = 62078;

/// What a lockdown connection uses of its device; all outlive the connection.
struct LockdownDevice {
    const Fixture &fixture;
    DeviceState &state;
    const ServiceRegistry &services;
    ServicePorts &ports;
    const MessageLog &log;
    const std::function<void()> &reboot;
};

struct LockdownTimeouts {
    /// Between requests. Hosts keep a lockdown connection open through long
    /// work (a backup), so this is generous; it only frees forgotten ones.
    std::chrono::milliseconds idle{30 * 60 * 1000};
    /// For the rest of a request once its first byte is in, and for a reply
    /// to drain.
    std::chrono::milliseconds frame{10000};
    std::chrono::milliseconds handshake{10000};
    /// For the peer's close_notify when a session stops.
    std::chrono::milliseconds tls_shutdown{1000};
};

class LockdownServer {
  public:
    LockdownServer(LockdownDevice device, UniqueFd connection, LockdownTimeouts timeouts = {});

    /// Serves requests until the host leaves, says Goodbye, breaks the
    /// protocol or a fault ends the connection.
    void run();

  private:
    enum class Then { kContinue, kStartTls, kStopTls, kClose };
    struct Reply {
        PlistPtr body;
        Then then = Then::kContinue;
    };
    struct Session {
        std::string id;
        TrustedHost host;
    };
    using Handler = Reply (LockdownServer::*)(plist_t request);
    struct HandlerRow {
        std::string_view name;
        Handler handler;
    };
    static const HandlerRow kHandlers[];

    enum class Outcome { kGoOn, kStop };
    Outcome handle(plist_t request);
    Outcome send(const Reply &reply);
    Outcome play_fault(Fault fault, const Reply &reply);
    Outcome start_session_tls();
    Outcome stop_session_tls();

    Reply query_type(plist_t request);
    Reply get_value(plist_t request);
    Reply set_value(plist_t request);
    Reply remove_value(plist_t request);
    Reply start_session(plist_t request);
    Reply stop_session(plist_t request);
    Reply start_service(plist_t request);
    Reply pair(plist_t request);
    Reply validate_pair(plist_t request);
    Reply unpair(plist_t request);
    Reply goodbye(plist_t request);
    Reply cu_pairing_start(plist_t request);
    Reply cu_pairing_verify(plist_t request);
    Reply cu_pairing_exchange(plist_t request);
    Reply cu_pairing_finish(plist_t request);
    Reply cu_reply(std::string_view request, CuAnswer answer) const;

    Reply success(std::string_view request) const;
    Reply failure(std::string_view request, std::string_view error) const;
    /// The domain named in a request: nullopt when absent (the global domain);
    /// sets *bad when present but not a non-empty string.
    std::optional<std::string> requested_domain(plist_t request, bool *bad) const;
    PlistPtr domain_values(const std::optional<std::string> &domain) const;
    /// Checks a PairRecord for ValidatePair/Unpair; returns the error string
    /// or "" with *host_id set.
    std::string_view host_id_of(plist_t request, std::string *host_id) const;
    std::string_view check_pair_record(plist_t record, TrustedHost *host) const;

    SteadyClock::time_point frame_deadline() const { return SteadyClock::now() + timeouts_.frame; }

    LockdownDevice device_;
    ServiceSocket socket_;
    LockdownTimeouts timeouts_;
    std::optional<Session> session_;
    std::optional<Session> pending_session_;  // between StartSession's reply and TLS
    CuPairingServer cu_pairing_;
};

}  // namespace tarvosim

#endif
