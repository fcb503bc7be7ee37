/*
 * The installation proxy service: browsing the installed applications.
 */
#include "installation_proxy_service.h"

#include <algorithm>
#include <optional>
#include <set>

#include "installed_apps.h"
#include "plist_conversation.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

PlistPtr error_message(const char *error, const std::string &description) {
    PlistPtr message(plist_new_dict());
    plist_dict_set_item(message.get(), "Error", plist_new_string(error));
    plist_dict_set_item(message.get(), "ErrorDescription", plist_new_string(description.c_str()));
    return message;
}

/// What one Browse asks for.
struct BrowseQuery {
    std::optional<AppType> type;  // none: every type ("Any")
    /// The attributes to return; none: all of them.
    std::optional<std::set<std::string, std::less<>>> attributes;
};

class InstallationProxy : public SimService {
  public:
    explicit InstallationProxy(const ServiceContext &context) : context_(context) {}

    void serve(ServiceSocket &socket) override {
        PlistConversation talk(socket, context_.log, context_.name, PlistEncoding::kXml);
        PlistPtr request;
        while (talk.receive(&request)) {
            const std::string command = tarvo::string_item(request.get(), "Command").value_or("");
            bool sent = false;
            if (command == "Browse") {
                sent = browse(talk, request.get());
            } else {
                PlistPtr answer =
                    error_message("UnknownCommand", "the command \"" + command + "\" is not known");
                sent = talk.send(answer.get());
            }
            if (!sent) {
                return;
            }
        }
    }

  private:
    /// Reads ClientOptions; an error text when they are unusable.
    static std::optional<std::string> read_query(plist_t request, BrowseQuery *query) {
        plist_t options = plist_dict_get_item(request, "ClientOptions");
        if (!options) {
            return std::nullopt;
        }
        if (plist_get_node_type(options) != PLIST_DICT) {
            return "ClientOptions must be a dictionary";
        }
        if (plist_dict_get_item(options, "ApplicationType")) {
            const std::string type = tarvo::string_item(options, "ApplicationType").value_or("");
            if (type == "User") {
                query->type = AppType::kUser;
            } else if (type == "System") {
                query->type = AppType::kSystem;
            } else if (type != "Any") {
                return "ApplicationType must be User, System or Any";
            }
        }
        plist_t wanted = plist_dict_get_item(options, "ReturnAttributes");
        if (!wanted) {
            return std::nullopt;
        }
        if (plist_get_node_type(wanted) != PLIST_ARRAY) {
            return "ReturnAttributes must be an array of attribute names";
        }
        query->attributes.emplace();
        for (uint32_t i = 0; i < plist_array_get_size(wanted); ++i) {
            std::optional<std::string> name = tarvo::string_at(wanted, i);
            if (!name) {
                return "ReturnAttributes must be an array of attribute names";
            }
            query->attributes->insert(std::move(*name));
        }
        // Devices always name the app, asked or not.
        query->attributes->insert("CFBundleIdentifier");
        return std::nullopt;
    }

    static plist_t app_entry(const InstalledApp &app, const BrowseQuery &query) {
        if (!query.attributes) {
            return plist_copy(app.attributes.get());
        }
        plist_t entry = plist_new_dict();
        for (const std::string &name : *query.attributes) {
            if (plist_t value = plist_dict_get_item(app.attributes.get(), name.c_str())) {
                plist_dict_set_item(entry, name.c_str(), plist_copy(value));
            }
        }
        return entry;
    }

    bool browse(PlistConversation &talk, plist_t request) {
        BrowseQuery query;
        if (std::optional<std::string> why = read_query(request, &query)) {
            PlistPtr answer = error_message("InvalidArgument", *why);
            return talk.send(answer.get());
        }
        const InstalledApps installed = device_apps(context_.fixture, context_.state);
        std::vector<const InstalledApp *> listed;
        for (const InstalledApp &app : installed.apps) {
            if (!query.type || app.type == *query.type) {
                listed.push_back(&app);
            }
        }
        // CurrentIndex is the position of the page's first app in the whole
        // list, CurrentAmount the page's length. No app: no page at all.
        const uint64_t total = listed.size();
        for (uint64_t first = 0; first < total; first += installed.browse_page_size) {
            const uint64_t amount = std::min(installed.browse_page_size, total - first);
            PlistPtr page(plist_new_dict());
            plist_t list = plist_new_array();
            for (uint64_t i = first; i < first + amount; ++i) {
                plist_array_append_item(list, app_entry(*listed[i], query));
            }
            plist_dict_set_item(page.get(), "Status", plist_new_string("BrowsingApplications"));
            plist_dict_set_item(page.get(), "CurrentList", list);
            plist_dict_set_item(page.get(), "CurrentIndex", plist_new_uint(first));
            plist_dict_set_item(page.get(), "CurrentAmount", plist_new_uint(amount));
            plist_dict_set_item(page.get(), "Total", plist_new_uint(total));
            if (!talk.send(page.get())) {
                return false;
            }
        }
        PlistPtr complete(plist_new_dict());
        plist_dict_set_item(complete.get(), "Status", plist_new_string("Complete"));
        return talk.send(complete.get());
    }

    const ServiceContext &context_;
};

}  // namespace

ServiceDefinition installation_proxy_definition() {
    ServiceDefinition definition;
    definition.name = kInstallationProxyService;
    definition.use_tls = false;
    definition.create = [](const ServiceContext &context) -> std::unique_ptr<SimService> {
        return std::make_unique<InstallationProxy>(context);
    };
    return definition;
}

}  // namespace tarvosim
