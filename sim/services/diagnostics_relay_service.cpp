/*
 * The diagnostics relay service and its MobileGestalt fixture section.
 */
#include "diagnostics_relay_service.h"

#include <charconv>
#include <memory>
#include <optional>

#include "plist_conversation.h"
#include "plist_dict_walk.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

/// The fixture's MobileGestalt values, a dictionary.
struct GestaltValues {
    PlistPtr values;
};

PlistPtr status_message(const char *status) {
    PlistPtr message(plist_new_dict());
    plist_dict_set_item(message.get(), "Status", plist_new_string(status));
    return message;
}

class DiagnosticsRelay : public SimService {
  public:
    explicit DiagnosticsRelay(const ServiceContext &context) : context_(context) {}

    void serve(ServiceSocket &socket) override {
        PlistConversation talk(socket, context_.log, context_.name, PlistEncoding::kXml);
        PlistPtr request;
        while (talk.receive(&request)) {
            const std::string name = tarvo::string_item(request.get(), "Request").value_or("");
            if (name == "Goodbye") {
                PlistPtr answer = status_message("Success");
                talk.send(answer.get());
                return;
            }
            PlistPtr answer = name == "MobileGestalt" ? mobile_gestalt(request.get())
                                                      : status_message("UnknownRequest");
            if (!talk.send(answer.get())) {
                return;
            }
        }
    }

  private:
    PlistPtr mobile_gestalt(plist_t request) const {
        plist_t keys = plist_dict_get_item(request, "MobileGestaltKeys");
        if (!keys || plist_get_node_type(keys) != PLIST_ARRAY) {
            return status_message("Failure");
        }
        const GestaltValues *known = context_.fixture.section<GestaltValues>(kMobileGestaltSection);
        const bool deprecated = mobile_gestalt_deprecated(
            tarvo::string_item(context_.fixture.global_domain.get(), "ProductVersion")
                .value_or(""));
        plist_t gestalt = plist_new_dict();
        plist_dict_set_item(gestalt, "Status",
                            plist_new_string(deprecated ? "MobileGestaltDeprecated" : "Success"));
        // Keys the device does not know are left out of the answer.
        for (uint32_t i = 0; i < plist_array_get_size(keys); ++i) {
            const std::optional<std::string> key = tarvo::string_at(keys, i);
            if (!key) {
                continue;
            }
            const std::string &name = *key;
            plist_t value =
                known ? plist_dict_get_item(known->values.get(), name.c_str()) : nullptr;
            if (value && name != "Status") {
                plist_dict_set_item(gestalt, name.c_str(), plist_copy(value));
            }
        }
        PlistPtr answer = status_message("Success");
        plist_t diagnostics = plist_new_dict();
        plist_dict_set_item(diagnostics, "MobileGestalt", gestalt);
        plist_dict_set_item(answer.get(), "Diagnostics", diagnostics);
        return answer;
    }

    const ServiceContext &context_;
};

}  // namespace

bool mobile_gestalt_deprecated(std::string_view product_version) {
    unsigned parts[2] = {0, 0};
    const char *at = product_version.data();
    const char *end = at + product_version.size();
    for (int i = 0; i < 2; ++i) {
        auto [next, failure] = std::from_chars(at, end, parts[i]);
        if (failure != std::errc() || (next != end && *next != '.')) {
            return false;
        }
        if (next == end) {
            break;
        }
        at = next + 1;
    }
    return parts[0] > 17 || (parts[0] == 17 && parts[1] >= 4);
}

FixtureSection mobile_gestalt_section() {
    return FixtureSection{
        kMobileGestaltSection,
        {"MobileGestalt"},
        [](const FixtureSource &source, std::any *out, std::string *error) {
            plist_t node = plist_dict_get_item(source.root, "MobileGestalt");
            if (node && plist_get_node_type(node) != PLIST_DICT) {
                *error = source.error("MobileGestalt", "must be a dictionary of values");
                return false;
            }
            const bool named =
                !node || for_each_dict_item(node, [](const std::string &key, plist_t) {
                    // "Status" is the answer's own item.
                    return !key.empty() && key != "Status";
                });
            if (!named) {
                *error = source.error("MobileGestalt", "a key is empty or \"Status\"");
                return false;
            }
            auto values = std::make_shared<GestaltValues>();
            values->values.reset(node ? plist_copy(node) : plist_new_dict());
            *out = std::shared_ptr<const GestaltValues>(std::move(values));
            return true;
        },
    };
}

ServiceDefinition diagnostics_relay_definition() {
    ServiceDefinition definition;
    definition.name = kDiagnosticsRelayService;
    definition.use_tls = false;
    definition.create = [](const ServiceContext &context) -> std::unique_ptr<SimService> {
        return std::make_unique<DiagnosticsRelay>(context);
    };
    return definition;
}

}  // namespace tarvosim
