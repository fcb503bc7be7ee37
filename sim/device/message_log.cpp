/*
 * Readable one-line rendering of property lists for the debug trace, with
 * the values of secret items redacted.
 */
#include "message_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "plist_dict_walk.h"
#include "secrets.h"

namespace tarvosim {
namespace {

constexpr std::size_t kMaxLineLength = 2000;

std::string quoted(const char *text) {
    std::string out = "\"";
    for (const char *p = text; p && *p; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += *p;
        } else if (*p == '\n') {
            out += "\\n";
        } else {
            out += *p;
        }
    }
    return out + "\"";
}

void describe_data(plist_t node, std::string *out) {
    char *data = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &data, &length);
    *out += "<data " + std::to_string(length) + " bytes";
    const std::string_view text(data ? data : "", data ? length : 0);
    if (text.starts_with("-----BEGIN ")) {
        *out += ": " + std::string(text.substr(0, text.find('\n')));
    }
    *out += ">";
    std::free(data);
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
        case PLIST_STRING: {
            char *text = nullptr;
            plist_get_string_val(node, &text);
            *out += quoted(text);
            std::free(text);
            break;
        }
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            *out += value ? "true" : "false";
            break;
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            *out += std::to_string(value);
            break;
        }
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
