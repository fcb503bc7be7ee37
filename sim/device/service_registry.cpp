/*
 * The service registry, the fixture sections its services read, and the
 * ports of started services.
 */
#include "service_registry.h"

#include <algorithm>

#include "afc_service.h"
#include "backup_faults.h"
#include "backup_service.h"
#include "diagnostics_relay_service.h"
#include "installation_proxy_service.h"
#include "installed_apps.h"
#include "notification_proxy_service.h"
#include "springboard_service.h"
#include "synthetic_config.h"

namespace tarvosim {
namespace {

// Lockdown's own port is never handed to a service.
constexpr uint16_t kLockdownPort = 62078;

}  // namespace

SimService::~SimService() = default;

void ServiceRegistry::add(ServiceDefinition definition) {
    std::string name = definition.name;
    services_.insert_or_assign(std::move(name), std::move(definition));
}

const ServiceDefinition *ServiceRegistry::find(std::string_view name) const {
    auto found = services_.find(name);
    return found == services_.end() ? nullptr : &found->second;
}

ServiceRegistry default_service_registry(const std::string &device_dir) {
    return default_service_registry(device_dir, Fixture{});
}

ServiceRegistry default_service_registry(const std::string &device_dir, const Fixture &fixture) {
    // Each service the simulator learns adds its definition here.
    auto notifications = std::make_shared<NotificationHub>();
    auto posted =
        std::make_shared<PostedNotificationLog>(device_dir + "/" + kPostedNotificationsFile);
    auto media = std::make_shared<AfcFolder>(device_dir + "/afc");
    ServiceRegistry registry;
    registry.add(notification_proxy_definition(notifications, posted));
    registry.add(afc_definition(media));
    registry.add(backup_service_definition(
        BackupResources{notifications, media,
                        std::make_shared<DeviceContent>(device_dir + "/" + kContentFolder,
                                                        synthetic_content(fixture)),
                        device_dir}));
    registry.add(installation_proxy_definition());
    registry.add(springboard_definition());
    registry.add(diagnostics_relay_definition());
    return registry;
}

const std::vector<FixtureSection> &fixture_sections() {
    // A service that reads its own part of the fixture adds its section here.
    static const std::vector<FixtureSection> sections{
        installed_apps_section(), mobile_gestalt_section(),    sync_lock_section(),
        backup_faults_section(),  synthetic_content_section(),
    };
    return sections;
}

uint16_t ServicePorts::open(const std::function<StartedService(uint16_t port)> &make) {
    std::lock_guard lock(mutex_);
    if (waiting_.size() >= kMaxWaiting) {
        waiting_.erase(order_.front());
        order_.pop_front();
    }
    // At most kMaxWaiting ports are taken, so a free one turns up quickly.
    uint16_t port = next_port_;
    while (port == kLockdownPort || waiting_.count(port) != 0) {
        port = port == 0xFFFF ? kFirstPort : static_cast<uint16_t>(port + 1);
    }
    next_port_ = port == 0xFFFF ? kFirstPort : static_cast<uint16_t>(port + 1);
    waiting_.emplace(port, make(port));
    order_.push_back(port);
    return port;
}

bool ServicePorts::is_open(uint16_t port) const {
    std::lock_guard lock(mutex_);
    return waiting_.count(port) != 0;
}

std::optional<StartedService> ServicePorts::take(uint16_t port) {
    std::lock_guard lock(mutex_);
    auto found = waiting_.find(port);
    if (found == waiting_.end()) {
        return std::nullopt;
    }
    StartedService service = std::move(found->second);
    waiting_.erase(found);
    order_.erase(std::find(order_.begin(), order_.end(), port));
    return service;
}

}  // namespace tarvosim
