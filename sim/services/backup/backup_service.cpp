/*
 * The backup service's loop: handshake, version exchange, and each request
 * handed to the request table.
 */
#include "backup_service.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "device_link_messages.h"

namespace tarvosim {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kIdleWait = std::chrono::minutes(30);
constexpr milliseconds kFrameWait = std::chrono::seconds(10);
// For the host's answer to the version exchange.
constexpr milliseconds kAnswerWait = std::chrono::seconds(60);

std::string text_of(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return {};
    }
    char *text = nullptr;
    plist_get_string_val(node, &text);
    std::string value = text ? text : "";
    std::free(text);
    return value;
}

class BackupConnection : public SimService {
  public:
    BackupConnection(const ServiceContext &context, const BackupResources &resources)
        : device_{context, resources.hub, resources.media, resources.content,
                  resources.device_dir} {}

    void serve(DeviceLink &link) override {
        serve_requests(link);
        // A device reboots once the host has let go of the connection.
        if (device_.reboot_when_link_ends && device_.context.reboot) {
            link.shut_down();
            note("rebooting");
            device_.context.reboot();
        }
    }

  private:
    void serve_requests(DeviceLink &link) {
        link.enable_read_ahead();
        DlChannel channel(link, device_.context.log, device_.context.name, kIdleWait, kFrameWait);
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
        PlistPtr offer = dl_message("DLMessageVersionExchange");
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
        plist_t verdict = plist_array_get_item(answer.get(), 1);
        plist_t echoed = plist_array_get_item(answer.get(), 2);
        uint64_t echoed_major = 0;
        if (echoed && plist_get_node_type(echoed) == PLIST_UINT) {
            plist_get_uint_val(echoed, &echoed_major);
        }
        if (dl_message_name(answer.get()) != "DLMessageVersionExchange" ||
            text_of(verdict) != "DLVersionsOk" || echoed_major != major) {
            note("connection dropped: the host did not accept device-link version " +
                 std::to_string(major));
            return false;
        }
        PlistPtr ready = dl_message("DLMessageDeviceReady");
        return channel.send(ready.get());
    }

    /// False when the connection ends.
    bool handle(DlChannel &channel, plist_t message) {
        const std::string name = dl_message_name(message).value_or("");
        if (name == "DLMessageDisconnect") {
            return false;
        }
        plist_t body = plist_array_get_item(message, 1);
        if (name != "DLMessageProcessMessage" || !body || plist_get_node_type(body) != PLIST_DICT) {
            note("ignored: " + name + " outside a request");
            return true;
        }
        plist_t name_node = plist_dict_get_item(body, "MessageName");
        const std::string request = text_of(name_node);
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
        PlistPtr response = dl_message("DLMessageProcessMessage");
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
    plist_t bag = plist_dict_get_item(request, "EscrowBag");
    if (!bag || plist_get_node_type(bag) != PLIST_DATA) {
        return "EscrowLocked";
    }
    char *data = nullptr;
    uint64_t length = 0;
    plist_get_data_val(bag, &data, &length);
    const bool same = data && !host.escrow_bag.empty() && length == host.escrow_bag.size() &&
                      std::equal(host.escrow_bag.begin(), host.escrow_bag.end(),
                                 reinterpret_cast<const uint8_t *>(data));
    std::free(data);
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
