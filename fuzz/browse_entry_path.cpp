// Fuzz target: where tarvobrowse places a manifest entry and which link
// targets it accepts (entry_path_refusal(), link_target_refusal()). Input:
// domain, NUL, relative path, NUL, link target. An accepted entry has only
// plain components; an accepted target, resolved by its text from the
// link's folder, never climbs above the output folder.
#include <string_view>
#include <vector>

#include "entry_path.h"
#include "fuzz_support.h"

namespace {

std::string_view next_field(std::string_view &input) {
    const size_t end = input.find('\0');
    const std::string_view field = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    return field;
}

// The depth below the output folder that `target` reaches from the link's
// folder, or -1 when it climbs above it at some point.
long reached_depth(const browse::EntryPath &link, std::string_view target) {
    long depth = static_cast<long>(link.components.size()) - 1;
    size_t start = 0;
    while (start <= target.size()) {
        size_t end = target.find('/', start);
        end = end == std::string_view::npos ? target.size() : end;
        const std::string_view part = target.substr(start, end - start);
        if (part == "..") {
            if (--depth < 0) {
                return -1;
            }
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return depth;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    const std::string_view domain = next_field(input);
    const std::string_view path = next_field(input);
    const std::string_view target = next_field(input);
    browse::EntryPath entry;
    if (browse::entry_path_refusal(domain, path, entry)) {
        return 0;
    }
    tarvo_fuzz::fuzz_check(!entry.components.empty(), "an entry has its domain");
    for (const std::string &component : entry.components) {
        tarvo_fuzz::fuzz_check(!component.empty() && component != "." && component != ".." &&
                                   component.find('/') == std::string::npos,
                               "components are plain names");
    }
    if (!browse::link_target_refusal(entry, target)) {
        tarvo_fuzz::fuzz_check(reached_depth(entry, target) >= 0,
                               "an accepted link stays inside the output folder");
    }
    return 0;
}
