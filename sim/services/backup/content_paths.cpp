/*
 * Checks on domain names and relative paths.
 */
#include "content_paths.h"

namespace tarvosim {
namespace {

bool is_plain_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('\0') == std::string_view::npos && name.find('/') == std::string_view::npos;
}

}  // namespace

bool is_safe_domain(std::string_view domain) {
    return is_plain_name(domain);
}

bool is_safe_relative_path(std::string_view path) {
    if (path.empty()) {
        return true;
    }
    if (path.front() == '/' || path.back() == '/') {
        return false;
    }
    for (std::string_view part : parts_of(path)) {
        if (!is_plain_name(part)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> parts_of(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        parts.push_back(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return parts;
}

}  // namespace tarvosim
