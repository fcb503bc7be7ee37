// info and list answers as JSON.
#include "content_json.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace {

using json = nlohmann::ordered_json;

std::optional<uint64_t> unsigned_number(std::string_view text) {
    uint64_t value = 0;
    const char *end = text.data() + text.size();
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) {
        return std::nullopt;
    }
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || at != end) {
        return std::nullopt;
    }
    return value;
}

// Only the counts and sizes the device writes become numbers: a device
// named "2024" or a file named "7" stays text.
constexpr std::string_view kNumericLabels[] = {"Files", "Total Size", "Unreadable Records", "Size"};
constexpr std::string_view kBytesSuffix = " bytes";

json value_of(std::string_view label, std::string_view text) {
    bool numeric = false;
    for (std::string_view name : kNumericLabels) {
        numeric = numeric || name == label;
    }
    std::string_view digits = text;
    if (digits.ends_with(kBytesSuffix)) {
        digits.remove_suffix(kBytesSuffix.size());
    }
    if (std::optional<uint64_t> number = numeric ? unsigned_number(digits) : std::nullopt) {
        return *number;
    }
    return std::string(text);
}

std::string_view without_carriage_return(std::string_view line) {
    return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

std::string dump(const json &object) {
    return object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

/// One CSV record from `text` at `*at` (quotes as RFC 4180 has them:
/// doubled inside a quoted field, which may hold line breaks). *at moves
/// past the record's line end. False for a quote that does not close.
bool read_csv_record(std::string_view text, size_t *at, std::vector<std::string> *fields,
                     std::string *raw) {
    fields->assign(1, std::string());
    const size_t start = *at;
    bool quoted = false;
    size_t i = *at;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                fields->back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields->back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields->emplace_back();
        } else if (c == '\n') {
            break;
        } else if (c != '\r' || (i + 1 < text.size() && text[i + 1] != '\n')) {
            fields->back() += c;
        }
    }
    *at = i < text.size() ? i + 1 : i;
    std::string_view record = text.substr(start, i - start);
    while (!record.empty() && (record.back() == '\n' || record.back() == '\r')) {
        record.remove_suffix(1);
    }
    *raw = std::string(record);
    return !quoted;
}

}  // namespace

std::string info_content_to_json(std::string_view content) {
    json object = json::object();
    json notes = json::array();
    size_t at = 0;
    while (at < content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        const std::string_view line = without_carriage_return(content.substr(at, end - at));
        at = end + 1;
        const size_t colon = line.find(": ");
        if (colon != std::string_view::npos && colon > 0) {
            const std::string_view label = line.substr(0, colon);
            object[std::string(label)] = value_of(label, line.substr(colon + 2));
        } else if (!line.empty()) {
            notes.push_back(std::string(line));
        }
    }
    if (!notes.empty()) {
        object["notes"] = std::move(notes);
    }
    return dump(object);
}

std::string list_content_to_json(std::string_view content) {
    json files = json::array();
    json notes = json::array();
    std::vector<std::string> header;
    std::vector<std::string> fields;
    std::string raw;
    size_t at = 0;
    bool have_header = false;
    while (at < content.size()) {
        const bool whole = read_csv_record(content, &at, &fields, &raw);
        if (raw.empty()) {
            continue;
        }
        if (!have_header) {
            header = fields;
            have_header = true;
            continue;
        }
        if (!whole || fields.size() != header.size()) {
            notes.push_back(raw);
            continue;
        }
        json file = json::object();
        for (size_t i = 0; i < header.size(); ++i) {
            file[header[i]] = fields[i].empty() ? json(nullptr) : value_of(header[i], fields[i]);
        }
        files.push_back(std::move(file));
    }
    json object = {{"files", std::move(files)}};
    if (!notes.empty()) {
        object["notes"] = std::move(notes);
    }
    return dump(object);
}
