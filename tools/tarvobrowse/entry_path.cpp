// Checking entry paths and link targets as text.
#include "entry_path.h"

#include <limits.h>

namespace browse {
namespace {

template <typename Visit>
void for_each_component(std::string_view path, Visit visit) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view component = path.substr(start, end - start);
        if (!component.empty() && component != ".") {
            visit(component);
        }
        start = end + 1;
    }
}

}  // namespace

const char *entry_path_refusal(std::string_view domain, std::string_view relative_path,
                               EntryPath &path) {
    path.components.clear();
    path.shown = std::string(domain) + "/" + std::string(relative_path);
    if (domain.empty() || domain == "." || domain == ".." ||
        domain.find('/') != std::string_view::npos) {
        return "a domain that is no plain name";
    }
    if (!relative_path.empty() && relative_path.front() == '/') {
        return "an absolute path";
    }
    if (path.shown.size() >= PATH_MAX) {
        return "a path too long";
    }
    path.components.emplace_back(domain);
    bool climbs = false;
    for_each_component(relative_path, [&](std::string_view component) {
        climbs = climbs || component == "..";
        path.components.emplace_back(component);
    });
    return climbs ? "a \"..\" component" : nullptr;
}

const char *link_target_refusal(const EntryPath &link, std::string_view target) {
    if (target.empty()) {
        return "an empty link target";
    }
    if (target.front() == '/') {
        return "a link to an absolute path";
    }
    if (target.size() >= PATH_MAX) {
        return "a link target too long";
    }
    // Folders above the link below the output folder: its domain counts.
    const size_t room = link.components.size() - 1;
    size_t climbs = 0;
    bool named = false;
    const char *refusal = nullptr;
    for_each_component(target, [&](std::string_view component) {
        if (component != "..") {
            named = true;
        } else if (named) {
            refusal = refusal ? refusal : "a link target with \"..\" after a name";
        } else if (++climbs > room) {
            refusal = refusal ? refusal : "a link leading outside the output folder";
        }
    });
    return refusal;
}

}  // namespace browse
