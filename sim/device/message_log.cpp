/*
 * Readable one-line rendering of property lists for the debug trace, with
 * the values of secret items redacted.
 */
#include "message_log.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <vector>

#include "plist_dict_walk.h"
#include "plist_items.h"
#include "secrets.h"

namespace tarvosim {
namespace {

constexpr std::size_t kMaxLineLength = 2000;

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void describe_data(plist_t node, std::string *out) {
    const std::vector<uint8_t> data = tarvo::data_value(node).value_or(std::vector<uint8_t>());
    *out += "<data " + std::to_string(data.size()) + " bytes";
    const std::string_view text(reinterpret_cast<const char *>(data.data()), data.size());
    if (text.starts_with("-----BEGIN ")) {
        *out += ": " + std::string(text.substr(0, text.find('\n')));
    }
    *out += ">";
}

void describe(plist_t node, std::string *out) {
    if (out->size() > kMaxLineLength) {
        return;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            *out += "{";
            bool first = true;
            for_each_dict_item(node, [&](const std::string &key, plist_t value) {
                *out += first ? "" : ", ";
                *out += key + ": ";
                // The trace is shown and kept wherever the user runs the
                // simulator: a password the host sent stays out of it.
                if (tarvo::is_secret_item(key)) {
                    *out += tarvo::kRedactedValue;
                } else {
                    describe(value, out);
                }
                first = false;
                return true;
            });
            *out += "}";
            break;
        }
        case PLIST_ARRAY: {
            *out += "[";
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                *out += i ? ", " : "";
                describe(plist_array_get_item(node, i), out);
            }
            *out += "]";
            break;
        }
        case PLIST_STRING:
            *out += quoted(tarvo::string_value(node).value_or(""));
            break;
        case PLIST_BOOLEAN:
            *out += tarvo::bool_value(node).value_or(false) ? "true" : "false";
            break;
        case PLIST_UINT:
            *out += std::to_string(tarvo::uint_value(node).value_or(0));
            break;
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            char text[64];
            std::snprintf(text, sizeof text, "%g", value);
            *out += text;
            break;
        }
        case PLIST_DATA:
            describe_data(node, out);
            break;
        case PLIST_DATE: {
            int32_t sec = 0;
            int32_t usec = 0;
            plist_get_date_val(node, &sec, &usec);
            *out += "<date " + std::to_string(sec) + ">";
            break;
        }
        case PLIST_UID: {
            uint64_t value = 0;
            plist_get_uid_val(node, &value);
            *out += "<uid " + std::to_string(value) + ">";
            break;
        }
        default:
            *out += "<?>";
            break;
    }
}

std::mutex &stderr_mutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

std::string describe_plist(plist_t node) {
    if (!node) {
        return "<none>";
    }
    std::string out;
    describe(node, &out);
    if (out.size() > kMaxLineLength) {
        out.resize(kMaxLineLength);
        out += "...";
    }
    return out;
}

void MessageLog::received(std::string_view channel, plist_t message) const {
    if (enabled_) {
        write_line(channel, "<-", describe_plist(message));
    }
}

void MessageLog::sent(std::string_view channel, plist_t message) const {
    if (enabled_) {
        write_line(channel, "->", describe_plist(message));
    }
}

void MessageLog::note(std::string_view channel, std::string_view text) const {
    if (enabled_) {
        write_line(channel, "--", text);
    }
}

void MessageLog::write_line(std::string_view channel, std::string_view arrow,
                            std::string_view text) const {
    std::lock_guard lock(stderr_mutex());
    std::fprintf(stderr, "tarvosim: %s %.*s %.*s %.*s\n", udid_.c_str(),
                 static_cast<int>(channel.size()), channel.data(), static_cast<int>(arrow.size()),
                 arrow.data(), static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
}

}  // namespace tarvosim
