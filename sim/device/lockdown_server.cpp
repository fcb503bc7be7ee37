/*
 * Lockdown as a simulated device answers it. Wire choices shared with the
 * host library: XML replies; failures as {"Request", "Error"}; only a fixed
 * set of global values without a session; StartSession always turns TLS on,
 * at once, on the same socket; StopSession answers inside TLS, then both
 * sides exchange close_notify and plain framing resumes.
 */
#include "lockdown_server.h"

#include <openssl/rand.h>

#include <array>

#include "device_keys.h"
#include "global_domain.h"
#include "libtarvo/cu_protocol.h"
#include "pair_record_store.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

/// Domains the device keeps for itself in its state (its backup keys, the
/// apps a restore installed): no host reads or writes them.
bool is_private_domain(std::string_view domain) {
    return domain.starts_with("tarvosim.");
}

constexpr std::string_view kChannel = "lockdown";
constexpr std::size_t kEscrowBagSize = 32;

// What any host may read before it is trusted: enough to identify the
// device and to make the certificates for pairing.
constexpr std::array<std::string_view, 9> kUnsessionedKeys{
    "DeviceClass",  "DeviceName",     "DevicePublicKey", "ProductType",  "ProductVersion",
    "BuildVersion", "UniqueDeviceID", "WiFiAddress",     "SerialNumber",
};

// Identity values of the global domain that no host may change or remove.
constexpr std::array<std::string_view, 7> kImmutableGlobalKeys{
    "UniqueDeviceID", "DevicePublicKey", "SerialNumber", "ProductType",
    "ProductVersion", "BuildVersion",    "DeviceClass",
};

template <std::size_t N>
bool contains(const std::array<std::string_view, N> &list, std::string_view name) {
    for (std::string_view entry : list) {
        if (entry == name) {
            return true;
        }
    }
    return false;
}

/// The data under `key` as text: a pair record's certificates are PEM.
std::optional<std::string> data_text_item(plist_t dict, const char *key) {
    const std::optional<std::vector<uint8_t>> bytes = tarvo::data_item(dict, key);
    if (!bytes) {
        return std::nullopt;
    }
    return std::string(bytes->begin(), bytes->end());
}

void set_string(plist_t dict, const char *key, const std::string &value) {
    plist_dict_set_item(dict, key, plist_new_string(value.c_str()));
}

const char *fault_name(Fault fault) {
    switch (fault) {
        case Fault::kHugeLength:
            return "HugeLength";
        case Fault::kTruncated:
            return "Truncated";
        case Fault::kNotPlist:
            return "NotPlist";
        case Fault::kStall:
            return "Stall";
        case Fault::kClose:
            return "Close";
    }
    return "?";
}

}  // namespace

const LockdownServer::HandlerRow LockdownServer::kHandlers[] = {
    {"QueryType", &LockdownServer::query_type},
    {"GetValue", &LockdownServer::get_value},
    {"SetValue", &LockdownServer::set_value},
    {"RemoveValue", &LockdownServer::remove_value},
    {"StartSession", &LockdownServer::start_session},
    {"StopSession", &LockdownServer::stop_session},
    {"StartService", &LockdownServer::start_service},
    {"Pair", &LockdownServer::pair},
    {"ValidatePair", &LockdownServer::validate_pair},
    {"Unpair", &LockdownServer::unpair},
    {"Goodbye", &LockdownServer::goodbye},
    {libtarvo::cu::kRequestStart, &LockdownServer::cu_pairing_start},
    {libtarvo::cu::kRequestVerify, &LockdownServer::cu_pairing_verify},
    {libtarvo::cu::kRequestExchange, &LockdownServer::cu_pairing_exchange},
    {libtarvo::cu::kRequestFinish, &LockdownServer::cu_pairing_finish},
};

LockdownServer::LockdownServer(LockdownDevice device, UniqueFd connection,
                               LockdownTimeouts timeouts)
    : device_(device),
      socket_(std::move(connection)),
      timeouts_(timeouts),
      cu_pairing_(device.fixture, device.state, device.log) {}

void LockdownServer::run() {
    const FrameWaits waits{timeouts_.idle, timeouts_.frame};
    for (;;) {
        PlistPtr request;
        const FrameStatus status = read_plist_frame(socket_, waits, &request);
        if (status == FrameStatus::kTooLarge || status == FrameStatus::kMalformed) {
            device_.log.note(kChannel, status == FrameStatus::kTooLarge
                                           ? "dropping the connection: frame length over the cap"
                                           : "dropping the connection: body is not a plist");
        }
        if (status != FrameStatus::kOk) {
            break;
        }
        device_.log.received(kChannel, request.get());
        if (plist_get_node_type(request.get()) != PLIST_DICT) {
            device_.log.note(kChannel, "dropping the connection: request is not a dictionary");
            break;
        }
        if (handle(request.get()) == Outcome::kStop) {
            break;
        }
    }
    socket_.shut_down();
}

LockdownServer::Outcome LockdownServer::handle(plist_t request) {
    const std::optional<std::string> name = tarvo::string_item(request, "Request");
    if (!name) {
        PlistPtr body(plist_new_dict());
        set_string(body.get(), "Error", "MalformedCommand");
        return send(Reply{std::move(body)});
    }
    Reply reply = failure(*name, "MalformedCommand");
    for (const HandlerRow &row : kHandlers) {
        if (row.name == *name) {
            reply = (this->*row.handler)(request);
            break;
        }
    }
    if (std::optional<Fault> fault = device_.fixture.fault_for(*name, request)) {
        pending_session_.reset();
        return play_fault(*fault, reply);
    }
    return send(reply);
}

LockdownServer::Outcome LockdownServer::send(const Reply &reply) {
    device_.log.sent(kChannel, reply.body.get());
    if (write_plist_frame(socket_, reply.body.get(), PlistEncoding::kXml, frame_deadline()) !=
        SocketStatus::kOk) {
        return Outcome::kStop;
    }
    switch (reply.then) {
        case Then::kContinue:
            return Outcome::kGoOn;
        case Then::kStartTls:
            return start_session_tls();
        case Then::kStopTls:
            return stop_session_tls();
        case Then::kClose:
            break;
    }
    return Outcome::kStop;
}

LockdownServer::Outcome LockdownServer::play_fault(Fault fault, const Reply &reply) {
    device_.log.note(kChannel, std::string("fault: ") + fault_name(fault));
    switch (fault) {
        case Fault::kHugeLength: {
            static constexpr uint8_t kHuge[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            return socket_.write_all(kHuge, frame_deadline()) == SocketStatus::kOk ? Outcome::kGoOn
                                                                                   : Outcome::kStop;
        }
        case Fault::kTruncated: {
            std::vector<uint8_t> frame = encode_plist_frame(reply.body.get(), PlistEncoding::kXml);
            const std::size_t body = frame.size() > 4 ? frame.size() - 4 : 0;
            frame.resize(4 + body / 2);
            socket_.write_all(frame, frame_deadline());
            return Outcome::kStop;
        }
        case Fault::kNotPlist: {
            static constexpr std::string_view kGarbage = "tarvosim: this is no plist\x01\x02";
            std::vector<uint8_t> frame = {0, 0, 0, static_cast<uint8_t>(kGarbage.size())};
            frame.insert(frame.end(), kGarbage.begin(), kGarbage.end());
            return socket_.write_all(frame, frame_deadline()) == SocketStatus::kOk ? Outcome::kGoOn
                                                                                   : Outcome::kStop;
        }
        case Fault::kStall:
            // Hold the connection open, reading nothing of meaning, until the
            // host gives up or the simulator stops.
            socket_.discard_until_closed(SteadyClock::now() + timeouts_.idle);
            return Outcome::kStop;
        case Fault::kClose:
            break;
    }
    return Outcome::kStop;
}

LockdownServer::Outcome LockdownServer::start_session_tls() {
    Session session = std::move(*pending_session_);
    pending_session_.reset();
    const TlsServerIdentity identity{session.host.device_certificate, device_.state.private_key(),
                                     session.host.root_certificate};
    std::string error;
    if (!socket_.start_tls_server(identity, SteadyClock::now() + timeouts_.handshake, &error)) {
        device_.log.note(kChannel, "session not started: " + error);
        return Outcome::kStop;
    }
    device_.log.note(kChannel, "session " + session.id + " started, TLS on");
    session_ = std::move(session);
    return Outcome::kGoOn;
}

LockdownServer::Outcome LockdownServer::stop_session_tls() {
    session_.reset();
    if (!socket_.stop_tls(SteadyClock::now() + timeouts_.tls_shutdown)) {
        device_.log.note(kChannel, "no close_notify from the host; dropping the connection");
        return Outcome::kStop;
    }
    device_.log.note(kChannel, "session stopped, TLS off");
    return Outcome::kGoOn;
}

LockdownServer::Reply LockdownServer::success(std::string_view request) const {
    PlistPtr body(plist_new_dict());
    set_string(body.get(), "Request", std::string(request));
    return Reply{std::move(body)};
}

LockdownServer::Reply LockdownServer::failure(std::string_view request,
                                              std::string_view error) const {
    Reply reply = success(request);
    set_string(reply.body.get(), "Error", std::string(error));
    return reply;
}

std::optional<std::string> LockdownServer::requested_domain(plist_t request, bool *bad) const {
    plist_t node = plist_dict_get_item(request, "Domain");
    *bad = false;
    if (!node) {
        return std::nullopt;
    }
    std::optional<std::string> domain = tarvo::string_item(request, "Domain");
    // "" is how the global domain is kept inside the device; a host names
    // the global domain by leaving Domain out.
    *bad = !domain || domain->empty();
    return domain;
}

PlistPtr LockdownServer::domain_values(const std::optional<std::string> &domain) const {
    if (!domain) {
        return device_global_domain(device_.fixture, device_.state);
    }
    if (is_private_domain(*domain)) {
        return nullptr;  // as a domain the device does not have
    }
    plist_t base = plist_dict_get_item(device_.fixture.domains.get(), domain->c_str());
    return device_.state.effective_domain(*domain, base);
}

LockdownServer::Reply LockdownServer::query_type(plist_t) {
    Reply reply = success("QueryType");
    set_string(reply.body.get(), "Type", device_.fixture.query_type);
    return reply;
}

LockdownServer::Reply LockdownServer::get_value(plist_t request) {
    bool bad = false;
    const std::optional<std::string> domain = requested_domain(request, &bad);
    plist_t key_node = plist_dict_get_item(request, "Key");
    const std::optional<std::string> key = tarvo::string_item(request, "Key");
    if (bad || (key_node && !key)) {
        return failure("GetValue", "MalformedCommand");
    }
    const bool trusted = session_.has_value();
    if (!trusted && (domain || (key && !contains(kUnsessionedKeys, *key)))) {
        return failure("GetValue", "GetProhibited");
    }
    PlistPtr values = domain_values(domain);
    if (!values) {
        return failure("GetValue", "MissingValue");
    }
    plist_t value = nullptr;
    if (key) {
        plist_t found = plist_dict_get_item(values.get(), key->c_str());
        if (!found) {
            return failure("GetValue", "MissingValue");
        }
        value = plist_copy(found);
    } else if (trusted) {
        value = values.release();
    } else {
        value = plist_new_dict();
        for (std::string_view allowed : kUnsessionedKeys) {
            const std::string name(allowed);
            if (plist_t found = plist_dict_get_item(values.get(), name.c_str())) {
                plist_dict_set_item(value, name.c_str(), plist_copy(found));
            }
        }
    }
    Reply reply = success("GetValue");
    if (domain) {
        set_string(reply.body.get(), "Domain", *domain);
    }
    if (key) {
        set_string(reply.body.get(), "Key", *key);
    }
    plist_dict_set_item(reply.body.get(), "Value", value);
    return reply;
}

LockdownServer::Reply LockdownServer::set_value(plist_t request) {
    if (!session_) {
        return failure("SetValue", "SessionInactive");
    }
    bool bad = false;
    const std::optional<std::string> domain = requested_domain(request, &bad);
    if (bad) {
        return failure("SetValue", "MalformedCommand");
    }
    const std::optional<std::string> key = tarvo::string_item(request, "Key");
    if (!key || key->empty()) {
        return failure("SetValue", "MissingKey");
    }
    plist_t value = plist_dict_get_item(request, "Value");
    if (!value) {
        return failure("SetValue", "MissingValue");
    }
    if ((!domain && contains(kImmutableGlobalKeys, *key)) ||
        (domain && is_private_domain(*domain))) {
        return failure("SetValue", "SetProhibited");
    }
    if (!device_.state.set_value(domain.value_or(""), *key, value)) {
        return failure("SetValue", "InternalError");
    }
    Reply reply = success("SetValue");
    if (domain) {
        set_string(reply.body.get(), "Domain", *domain);
    }
    set_string(reply.body.get(), "Key", *key);
    return reply;
}

LockdownServer::Reply LockdownServer::remove_value(plist_t request) {
    if (!session_) {
        return failure("RemoveValue", "SessionInactive");
    }
    bool bad = false;
    const std::optional<std::string> domain = requested_domain(request, &bad);
    if (bad) {
        return failure("RemoveValue", "MalformedCommand");
    }
    const std::optional<std::string> key = tarvo::string_item(request, "Key");
    if (!key || key->empty()) {
        return failure("RemoveValue", "MissingKey");
    }
    if ((!domain && contains(kImmutableGlobalKeys, *key)) ||
        (domain && is_private_domain(*domain))) {
        return failure("RemoveValue", "RemoveProhibited");
    }
    PlistPtr values = domain_values(domain);
    if (!values || !plist_dict_get_item(values.get(), key->c_str())) {
        return failure("RemoveValue", "MissingValue");
    }
    if (!device_.state.remove_value(domain.value_or(""), *key)) {
        return failure("RemoveValue", "InternalError");
    }
    Reply reply = success("RemoveValue");
    if (domain) {
        set_string(reply.body.get(), "Domain", *domain);
    }
    set_string(reply.body.get(), "Key", *key);
    return reply;
}

LockdownServer::Reply LockdownServer::start_session(plist_t request) {
    const std::optional<std::string> host_id = tarvo::string_item(request, "HostID");
    if (!host_id || host_id->empty()) {
        return failure("StartSession", "MissingHostID");
    }
    if (session_) {
        return failure("StartSession", "SessionActive");
    }
    std::optional<TrustedHost> host = device_.state.trusted_host(*host_id);
    if (!host) {
        return failure("StartSession", "InvalidHostID");
    }
    pending_session_ = Session{generate_upper_uuid(), std::move(*host)};
    Reply reply = success("StartSession");
    set_string(reply.body.get(), "SessionID", pending_session_->id);
    plist_dict_set_item(reply.body.get(), "EnableSessionSSL", plist_new_bool(1));
    reply.then = Then::kStartTls;
    return reply;
}

LockdownServer::Reply LockdownServer::stop_session(plist_t request) {
    if (!session_) {
        return failure("StopSession", "SessionInactive");
    }
    const std::optional<std::string> session_id = tarvo::string_item(request, "SessionID");
    if (!session_id) {
        return failure("StopSession", "MissingSessionID");
    }
    if (*session_id != session_->id) {
        return failure("StopSession", "InvalidSessionID");
    }
    Reply reply = success("StopSession");
    reply.then = Then::kStopTls;
    return reply;
}

LockdownServer::Reply LockdownServer::start_service(plist_t request) {
    if (!session_) {
        return failure("StartService", "SessionInactive");
    }
    const std::optional<std::string> name = tarvo::string_item(request, "Service");
    if (!name || name->empty()) {
        return failure("StartService", "MissingService");
    }
    const ServiceDefinition *definition = device_.services.find(*name);
    if (!definition || device_.fixture.missing_services.contains(*name)) {
        return failure("StartService", "InvalidService");
    }
    if (definition->check_start) {
        const std::string refused = definition->check_start(request, session_->host);
        if (!refused.empty()) {
            return failure("StartService", refused);
        }
    }
    const TrustedHost host = session_->host;
    const uint16_t port = device_.ports.open([&](uint16_t chosen) {
        auto context = std::make_shared<ServiceContext>(ServiceContext{
            device_.fixture, device_.state, device_.log, *name, chosen, host, device_.reboot});
        std::shared_ptr<SimService> service = definition->create(*context);
        return StartedService{std::move(context), std::move(service), definition->use_tls};
    });
    Reply reply = success("StartService");
    set_string(reply.body.get(), "Service", *name);
    plist_dict_set_item(reply.body.get(), "Port", plist_new_uint(port));
    plist_dict_set_item(reply.body.get(), "EnableServiceSSL", plist_new_bool(definition->use_tls));
    return reply;
}

std::string_view LockdownServer::check_pair_record(plist_t record, TrustedHost *host) const {
    const std::optional<std::string> host_id = tarvo::string_item(record, "HostID");
    if (!host_id || host_id->empty()) {
        return "MissingHostID";
    }
    const std::optional<std::string> buid = tarvo::string_item(record, "SystemBUID");
    const std::optional<std::string> device_pem = data_text_item(record, "DeviceCertificate");
    const std::optional<std::string> host_pem = data_text_item(record, "HostCertificate");
    const std::optional<std::string> root_pem = data_text_item(record, "RootCertificate");
    if (!buid || !device_pem || !host_pem || !root_pem) {
        return "InvalidPairRecord";
    }
    X509Ptr device_cert = certificate_from_pem(as_bytes(*device_pem));
    X509Ptr host_cert = certificate_from_pem(as_bytes(*host_pem));
    X509Ptr root_cert = certificate_from_pem(as_bytes(*root_pem));
    // The device will present DeviceCertificate in every session, so it must
    // carry the device's own key and, like the host's, come from the root.
    if (!device_cert || !host_cert || !root_cert ||
        !certificate_has_key(device_cert.get(), device_.state.private_key()) ||
        !certificate_signed_by(device_cert.get(), root_cert.get()) ||
        !certificate_signed_by(host_cert.get(), root_cert.get())) {
        return "InvalidPairRecord";
    }
    *host = TrustedHost{*host_id, *buid, *root_pem, *host_pem, *device_pem, {}};
    return {};
}

LockdownServer::Reply LockdownServer::pair(plist_t request) {
    if (device_.fixture.is_network()) {
        return failure("Pair", "PairingProhibitedOverThisConnection");
    }
    switch (device_.fixture.pairing_policy) {
        case PairingPolicy::kDeny:
            return failure("Pair", "UserDeniedPairing");
        case PairingPolicy::kPending:
            return failure("Pair", "PairingDialogResponsePending");
        case PairingPolicy::kPasscode:
            return failure("Pair", "PasswordProtected");
        case PairingPolicy::kAccept:
            break;
    }
    plist_t record = plist_dict_get_item(request, "PairRecord");
    if (!record || plist_get_node_type(record) != PLIST_DICT) {
        return failure("Pair", "InvalidPairRecord");
    }
    TrustedHost host;
    std::string_view problem = check_pair_record(record, &host);
    if (!problem.empty()) {
        return failure("Pair", problem);
    }
    host.escrow_bag.resize(kEscrowBagSize);
    if (RAND_bytes(host.escrow_bag.data(), static_cast<int>(host.escrow_bag.size())) != 1 ||
        !device_.state.trust(host)) {
        return failure("Pair", "InternalError");
    }
    Reply reply = success("Pair");
    plist_dict_set_item(reply.body.get(), "EscrowBag",
                        plist_new_data(reinterpret_cast<const char *>(host.escrow_bag.data()),
                                       host.escrow_bag.size()));
    return reply;
}

std::string_view LockdownServer::host_id_of(plist_t request, std::string *host_id) const {
    plist_t record = plist_dict_get_item(request, "PairRecord");
    if (!record || plist_get_node_type(record) != PLIST_DICT) {
        return "InvalidPairRecord";
    }
    std::optional<std::string> id = tarvo::string_item(record, "HostID");
    if (!id || id->empty()) {
        return "MissingHostID";
    }
    *host_id = std::move(*id);
    return {};
}

LockdownServer::Reply LockdownServer::validate_pair(plist_t request) {
    std::string host_id;
    std::string_view problem = host_id_of(request, &host_id);
    if (!problem.empty()) {
        return failure("ValidatePair", problem);
    }
    if (!device_.state.trusted_host(host_id)) {
        return failure("ValidatePair", "InvalidHostID");
    }
    return success("ValidatePair");
}

LockdownServer::Reply LockdownServer::unpair(plist_t request) {
    std::string host_id;
    std::string_view problem = host_id_of(request, &host_id);
    if (!problem.empty()) {
        return failure("Unpair", problem);
    }
    bool known = false;
    if (!device_.state.forget(host_id, &known)) {
        return failure("Unpair", "InternalError");
    }
    return known ? success("Unpair") : failure("Unpair", "InvalidHostID");
}

LockdownServer::Reply LockdownServer::cu_reply(std::string_view request, CuAnswer answer) const {
    if (!answer.error.empty()) {
        Reply reply = failure(request, answer.error);
        if (!answer.description.empty()) {
            set_string(reply.body.get(), libtarvo::cu::kErrorDescriptionKey, answer.description);
        }
        return reply;
    }
    Reply reply = success(request);
    plist_dict_set_item(reply.body.get(), libtarvo::cu::kPairingDataKey,
                        plist_new_data(reinterpret_cast<const char *>(answer.pairing_data.data()),
                                       answer.pairing_data.size()));
    return reply;
}

LockdownServer::Reply LockdownServer::cu_pairing_start(plist_t request) {
    return cu_reply(libtarvo::cu::kRequestStart, cu_pairing_.start(request));
}

LockdownServer::Reply LockdownServer::cu_pairing_verify(plist_t request) {
    return cu_reply(libtarvo::cu::kRequestVerify, cu_pairing_.verify(request));
}

LockdownServer::Reply LockdownServer::cu_pairing_exchange(plist_t request) {
    return cu_reply(libtarvo::cu::kRequestExchange, cu_pairing_.exchange_info(request));
}

// The record is checked as a Pair over USB checks it; the PIN stands in for
// the trust dialog, so the pairing policy plays no part here.
LockdownServer::Reply LockdownServer::cu_pairing_finish(plist_t request) {
    return cu_reply(libtarvo::cu::kRequestFinish,
                    cu_pairing_.finish(request, [this](plist_t record, TrustedHost *host) {
                        return check_pair_record(record, host);
                    }));
}

LockdownServer::Reply LockdownServer::goodbye(plist_t) {
    Reply reply = success("Goodbye");
    set_string(reply.body.get(), "Result", "Success");
    reply.then = Then::kClose;
    return reply;
}

}  // namespace tarvosim
