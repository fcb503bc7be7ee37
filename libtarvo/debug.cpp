/*
 * Debug switch and the readable dump of traffic on standard error, with the
 * values of secret items (passwords, the PIN exchange, keys) redacted.
 */
#include "debug.h"

#include <atomic>
#include <cstdio>

#include "libtarvo/device.h"
#include "owners.h"
#include "secrets.h"

namespace libtarvo {
namespace {

std::atomic<int> g_debug_level{0};

const char *arrow(Direction direction) {
    return direction == Direction::kSent ? "send" : "recv";
}

}  // namespace

bool debug_enabled() {
    return g_debug_level.load(std::memory_order_relaxed) > 0;
}

void debug_plist(Direction direction, std::string_view service, plist_t node) {
    if (!debug_enabled() || !node) {
        return;
    }
    // Traces end up in terminals, logs and bug reports: a password given to
    // the tool must not travel with them.
    PlistPtr shown(tarvo::plist_copy_redacted(node));
    char *raw = nullptr;
    uint32_t length = 0;
    plist_to_xml(shown.get(), &raw, &length);
    CString owned(raw);
    std::string_view xml(owned ? owned.get() : "", owned ? length : 0);
    // The declaration and document type are the same in every message.
    if (std::size_t root = xml.find("<plist"); root != std::string_view::npos) {
        xml.remove_prefix(root);
    }
    while (!xml.empty() && xml.back() == '\n') {
        xml.remove_suffix(1);
    }
    std::fprintf(stderr, "[tarvo] %s %.*s:\n%.*s\n", arrow(direction),
                 static_cast<int>(service.size()), service.data(), static_cast<int>(xml.size()),
                 xml.data());
}

void debug_raw(Direction direction, std::string_view service, std::size_t length) {
    if (!debug_enabled()) {
        return;
    }
    std::fprintf(stderr, "[tarvo] %s %.*s: %zu raw bytes\n", arrow(direction),
                 static_cast<int>(service.size()), service.data(), length);
}

void debug_note(std::string_view service, std::string_view text) {
    if (!debug_enabled()) {
        return;
    }
    std::fprintf(stderr, "[tarvo] %.*s: %.*s\n", static_cast<int>(service.size()), service.data(),
                 static_cast<int>(text.size()), text.data());
}

}  // namespace libtarvo

extern "C" void tarvo_set_debug_level(int level) {
    libtarvo::g_debug_level.store(level, std::memory_order_relaxed);
}
