/*
 * The backup service's loop: handshake, version exchange, and each request
 * handed to the request table.
 */
#include "backup_service.h"

#include <cmath>

#include "device_link_messages.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kIdleWait = std::chrono::minutes(30);
constexpr milliseconds kFrameWait = std::chrono::seconds(10);
// For the host's answer to the version exchange.
constexpr milliseconds kAnswerWait = std::chrono::seconds(60);

class BackupConnection : public SimService {
  public:
    BackupConnection(const ServiceContext &context, const BackupResources &resources)
        : device_{context, resources.hub, resources.media, resources.content,
                  resources.device_dir} {}

    void serve(ServiceSocket &socket) override {
        serve_requests(socket);
        // A device reboots once the host has let go of the connection.
        if (device_.reboot_when_link_ends && device_.context.reboot) {
            socket.shut_down();
            note("rebooting");
            device_.context.reboot();
        }
    }

  private:
    void serve_requests(ServiceSocket &socket) {
        socket.enable_read_ahead();
        DlChannel channel(socket, device_.context.log, device_.context.name, kIdleWait, kFrameWait);
        if (!handshake(channel)) {
            return;
        }
        for (;;) {
            PlistPtr message;
            const FrameStatus status = channel.receive(&message);
            if (status == FrameStatus::kMalformed || status == FrameStatus::kTooLarge) {
                note("connection dropped: not a device-link message");
            }
            if (status != FrameStatus::kOk || !handle(channel, message.get())) {
                return;
            }
        }
    }

    void note(const std::string &text) const { device_.note(text); }

    bool handshake(DlChannel &channel) {
        const uint64_t major = device_.context.fixture.device_link_version;
        PlistPtr offer = dl_message(dl::kVersionExchange);
        plist_array_append_item(offer.get(), plist_new_uint(major));
        plist_array_append_item(offer.get(), plist_new_uint(0));
        if (!channel.send(offer.get())) {
            return false;
        }
        PlistPtr answer;
        if (channel.receive(&answer, kAnswerWait) != FrameStatus::kOk) {
            note("connection dropped: no answer to the version exchange");
            return false;
        }
        const std::string verdict = tarvo::string_at(answer.get(), 1).value_or("");
        const uint64_t echoed_major =
            tarvo::uint_value(tarvo::array_item(answer.get(), 2)).value_or(0);
        if (dl_message_name(answer.get()) != dl::kVersionExchange || verdict != dl::kVersionsOk ||
            echoed_major != major) {
            note("connection dropped: the host did not accept device-link version " +
                 std::to_string(major));
            return false;
        }
        PlistPtr ready = dl_message(dl::kDeviceReady);
        return channel.send(ready.get());
    }

    /// False when the connection ends.
    bool handle(DlChannel &channel, plist_t message) {
        const std::string name = dl_message_name(message).value_or("");
        if (name == dl::kDisconnect) {
            return false;
        }
        plist_t body = plist_array_get_item(message, 1);
        if (name != dl::kProcessMessage || !body || plist_get_node_type(body) != PLIST_DICT) {
            note("ignored: " + name + " outside a request");
            return true;
        }
        const std::string request = tarvo::string_item(body, "MessageName").value_or("");
        if (request == "Hello") {
            return answer_hello(channel, body);
        }
        return answer_backup_request(BackupCall{channel, body, request, device_});
    }

    bool answer_hello(DlChannel &channel, plist_t hello) {
        plist_t offered = plist_dict_get_item(hello, "SupportedProtocolVersions");
        std::optional<double> chosen;
        for (uint32_t i = 0; offered && plist_get_node_type(offered) == PLIST_ARRAY &&
                             i < plist_array_get_size(offered);
             ++i) {
            plist_t version = plist_array_get_item(offered, i);
            double value = 0;
            if (plist_get_node_type(version) != PLIST_REAL) {
                continue;
            }
            plist_get_real_val(version, &value);
            for (double accepted : device_.context.fixture.backup_protocol_versions) {
                if (std::fabs(accepted - value) < 1e-9 && (!chosen || value > *chosen)) {
                    chosen = value;
                }
            }
        }
        PlistPtr response = dl_message(dl::kProcessMessage);
        plist_t body = plist_new_dict();
        plist_dict_set_item(body, "MessageName", plist_new_string("Response"));
        if (chosen) {
            plist_dict_set_item(body, "ErrorCode", plist_new_uint(0));
            plist_dict_set_item(body, "ProtocolVersion", plist_new_real(*chosen));
        } else {
            plist_dict_set_item(body, "ErrorCode", plist_new_uint(1));
            plist_dict_set_item(body, "ErrorDescription",
                                plist_new_string("no protocol version in common"));
        }
        plist_array_append_item(response.get(), body);
        return channel.send(response.get());
    }

    BackupDevice device_;
};

}  // namespace

std::string check_escrow_bag(plist_t request, const TrustedHost &host) {
    const std::optional<std::vector<uint8_t>> bag = tarvo::data_item(request, "EscrowBag");
    const bool same = bag && !host.escrow_bag.empty() && *bag == host.escrow_bag;
    return same ? std::string() : "EscrowLocked";
}

ServiceDefinition backup_service_definition(BackupResources resources) {
    ServiceDefinition definition;
    definition.name = kBackupService;
    definition.use_tls = false;
    definition.check_start = check_escrow_bag;
    definition.create = [resources](const ServiceContext &context) -> std::unique_ptr<SimService> {
        return std::make_unique<BackupConnection>(context, resources);
    };
    return definition;
}

}  // namespace tarvosim
