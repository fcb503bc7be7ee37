/*
 * The service registry and the ports of started services.
 */
#include "service_registry.h"

#include <algorithm>

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
