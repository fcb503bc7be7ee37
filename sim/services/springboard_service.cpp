/*
 * The springboard services: icons of the installed applications.
 */
#include "springboard_service.h"

#include <optional>

#include "installed_apps.h"
#include "plist_conversation.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

class Springboard : public SimService {
  public:
    explicit Springboard(const ServiceContext &context) : context_(context) {}

    void serve(ServiceSocket &socket) override {
        // Icons are data; the binary form carries them without base64.
        PlistConversation talk(socket, context_.log, context_.name, PlistEncoding::kBinary);
        PlistPtr request;
        while (talk.receive(&request)) {
            const std::string command = tarvo::string_item(request.get(), "command").value_or("");
            PlistPtr answer(plist_new_dict());
            if (command == "getIconPNGData") {
                // An app without an icon, or no such app, gets an answer
                // without "pngData", as devices give.
                const std::optional<std::string> id = tarvo::string_item(request.get(), "bundleId");
                const InstalledApps installed = device_apps(context_.fixture, context_.state);
                const InstalledApp *app = id ? installed.find(*id) : nullptr;
                if (app && app->icon) {
                    plist_dict_set_item(
                        answer.get(), "pngData",
                        plist_new_data(reinterpret_cast<const char *>(app->icon->data()),
                                       app->icon->size()));
                }
            } else {
                plist_dict_set_item(answer.get(), "Error", plist_new_string("UnknownCommand"));
            }
            if (!talk.send(answer.get())) {
                return;
            }
        }
    }

  private:
    const ServiceContext &context_;
};

}  // namespace

ServiceDefinition springboard_definition() {
    ServiceDefinition definition;
    definition.name = kSpringboardService;
    definition.use_tls = false;
    definition.create = [](const ServiceContext &context) -> std::unique_ptr<SimService> {
        return std::make_unique<Springboard>(context);
    };
    return definition;
}

}  // namespace tarvosim
