// Fallbacks for the property-list calls that older libplist releases lack:
// JSON input, reading a file in any encoding, and writing to a stream. Each
// is compiled only when the installed library does not have it.
#include "plist_compat.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "owners.h"
#include "plist_readable_writer.h"
#include "plist_untrusted.h"

namespace {

using tarvo::kPlistMaxNesting;

#ifndef TARVO_HAVE_PLIST_FROM_JSON
// ---------------------------------------------------------------- JSON input

// plist_new_uint records values above INT64_MAX as negative; the XML reader
// records them as the large unsigned values they are.
plist_t new_unsigned_integer(uint64_t value) {
    if (value <= static_cast<uint64_t>(INT64_MAX)) {
        return plist_new_uint(value);
    }
    std::string xml = "<plist><integer>" + std::to_string(value) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
    return node;
}

// Builds the property list while the JSON parser walks the text, so that
// nesting is refused as soon as it gets too deep and no JSON tree is held.
class PlistBuilder : public nlohmann::json_sax<nlohmann::json> {
  public:
    PlistPtr take_root() { return std::move(root_); }

    bool null() override { return false; }
    bool boolean(bool value) override { return attach(plist_new_bool(value ? 1 : 0)); }
    bool number_integer(number_integer_t value) override {
        // Stored as the 64-bit two's complement, which the library treats as signed.
        return attach(plist_new_uint(static_cast<uint64_t>(value)));
    }
    bool number_unsigned(number_unsigned_t value) override {
        return attach(new_unsigned_integer(value));
    }
    bool number_float(number_float_t value, const string_t &) override {
        return attach(plist_new_real(value));
    }
    bool string(string_t &value) override {
        if (has_nul(value)) {
            return false;
        }
        return attach(plist_new_string(value.c_str()));
    }
    bool binary(binary_t &) override { return false; }
    bool start_object(std::size_t) override { return open_container(plist_new_dict()); }
    bool key(string_t &value) override {
        if (has_nul(value)) {
            return false;
        }
        pending_key_ = value;
        return true;
    }
    bool end_object() override { return close_container(); }
    bool start_array(std::size_t) override { return open_container(plist_new_array()); }
    bool end_array() override { return close_container(); }
    bool parse_error(std::size_t, const std::string &,
                     const nlohmann::detail::exception &) override {
        return false;
    }

  private:
    // Property-list strings end at the first NUL; cutting a value short
    // silently would hand back something other than what was written.
    static bool has_nul(const string_t &value) { return value.find('\0') != string_t::npos; }

    bool attach(plist_t node) {
        if (!node) {
            return false;
        }
        if (open_.empty()) {
            root_.reset(node);
            return true;
        }
        plist_t parent = open_.back();
        if (plist_get_node_type(parent) == PLIST_DICT) {
            plist_dict_set_item(parent, pending_key_.c_str(), node);
        } else {
            plist_array_append_item(parent, node);
        }
        return true;
    }

    bool open_container(plist_t node) {
        if (open_.size() >= static_cast<std::size_t>(kPlistMaxNesting)) {
            plist_free(node);
            return false;
        }
        if (!attach(node)) {
            return false;
        }
        open_.push_back(node);
        return true;
    }

    bool close_container() {
        open_.pop_back();
        return true;
    }

    PlistPtr root_;
    std::vector<plist_t> open_;
    std::string pending_key_;
};

#endif

#ifndef TARVO_HAVE_PLIST_READ_FROM_FILE
// ------------------------------------------------------------------ file input

// The property-list parsers take 32-bit lengths, so anything longer cannot be
// parsed and is refused before it is held in memory.
plist_err_t read_whole_file(const char *filename, std::string &content) {
    FilePtr file(std::fopen(filename, "rb"));
    if (!file) {
        return PLIST_ERR_IO;
    }
    struct stat info {};
    if (fstat(fileno(file.get()), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            return PLIST_ERR_IO;
        }
        if (S_ISREG(info.st_mode)) {
            if (static_cast<uint64_t>(info.st_size) > UINT32_MAX) {
                return PLIST_ERR_NO_MEM;
            }
            content.reserve(static_cast<std::size_t>(info.st_size));
        }
    }
    // Pipes and devices have no size, so everything is read in chunks until
    // end of file.
    char chunk[64 * 1024];
    while (true) {
        std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        if (got > UINT32_MAX - content.size()) {
            return PLIST_ERR_NO_MEM;
        }
        content.append(chunk, got);
        if (got < sizeof chunk) {
            break;
        }
    }
    return std::ferror(file.get()) ? PLIST_ERR_IO : PLIST_ERR_SUCCESS;
}

// The XML reader refuses a byte-order mark, so it is skipped here.
std::string_view without_utf8_bom(std::string_view content) {
    constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
    if (content.starts_with(kUtf8Bom)) {
        content.remove_prefix(kUtf8Bom.size());
    }
    return content;
}

bool looks_like_xml(std::string_view content) {
    std::size_t first = content.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && content[first] == '<';
}

// Files may come from anywhere (a device among them), so binary and XML get
// the checks of device messages; a refused file reads as unparsable. JSON
// input bounds its nesting and refuses NUL characters as it is built.
bool safe_to_parse(std::string_view content) {
    return tarvo::plist_body_is_safe(std::span<const uint8_t>(
        reinterpret_cast<const uint8_t *>(content.data()), content.size()));
}

plist_err_t parse_by_content(std::string_view content, plist_t *plist, plist_format_t *format) {
    plist_format_t detected;
    if (content.starts_with("bplist00")) {
        detected = PLIST_FORMAT_BINARY;
        if (safe_to_parse(content)) {
            plist_from_bin(content.data(), static_cast<uint32_t>(content.size()), plist);
        }
    } else if (std::string_view text = without_utf8_bom(content); looks_like_xml(text)) {
        detected = PLIST_FORMAT_XML;
        if (safe_to_parse(text)) {
            plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), plist);
        }
    } else {
        detected = PLIST_FORMAT_JSON;
        plist_err_t result =
            plist_from_json(content.data(), static_cast<uint32_t>(content.size()), plist);
        if (result != PLIST_ERR_SUCCESS) {
            return result;
        }
    }
    if (!*plist) {
        return PLIST_ERR_PARSE;
    }
    if (format) {
        *format = detected;
    }
    return PLIST_ERR_SUCCESS;
}

#endif

#ifndef TARVO_HAVE_PLIST_WRITE_TO_STREAM
// ----------------------------------------------------------------- JSON output

void append_json_string(std::string_view text, std::string &out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// JSON has no dates, data or UIDs, and no NaN or infinity: such nodes make
// the whole output fail with PLIST_ERR_FORMAT.
class JsonWriter {
  public:
    JsonWriter(bool compact, std::string &out) : compact_(compact), out_(out) {}

    plist_err_t write(plist_t node, int depth) {
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                uint8_t value = 0;
                plist_get_bool_val(node, &value);
                out_ += value ? "true" : "false";
                return PLIST_ERR_SUCCESS;
            }
            case PLIST_UINT:
                return write_integer(node);
            case PLIST_REAL:
                return write_real(node);
            case PLIST_STRING: {
                uint64_t length = 0;
                const char *text = plist_get_string_ptr(node, &length);
                append_json_string(std::string_view(text ? text : "", text ? length : 0), out_);
                return PLIST_ERR_SUCCESS;
            }
            case PLIST_ARRAY:
            case PLIST_DICT:
                if (depth >= kPlistMaxNesting) {
                    return PLIST_ERR_FORMAT;
                }
                return plist_get_node_type(node) == PLIST_DICT ? write_dict(node, depth)
                                                               : write_array(node, depth);
            default:
                return PLIST_ERR_FORMAT;
        }
    }

  private:
    plist_err_t write_integer(plist_t node) {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        out_ += tarvo::plist_integer_is_negative(node) ? std::to_string(static_cast<int64_t>(value))
                                                       : std::to_string(value);
        return PLIST_ERR_SUCCESS;
    }

    // Not the readable writer's append_real: this text is read back, so it has its own rule.
    plist_err_t write_real(plist_t node) {
        double value = 0;
        plist_get_real_val(node, &value);
        if (!std::isfinite(value)) {
            return PLIST_ERR_FORMAT;
        }
        char text[64];
        auto result = std::to_chars(text, text + sizeof text, value);
        std::string_view shown(text, result.ptr);
        out_ += shown;
        // Without a '.' or exponent a reader would take it back as an integer.
        if (shown.find_first_of(".e") == std::string_view::npos) {
            out_ += ".0";
        }
        return PLIST_ERR_SUCCESS;
    }

    plist_err_t write_array(plist_t array, int depth) {
        uint32_t count = plist_array_get_size(array);
        out_ += '[';
        for (uint32_t i = 0; i < count; ++i) {
            member_separator(i, depth + 1);
            plist_err_t result = write(plist_array_get_item(array, i), depth + 1);
            if (result != PLIST_ERR_SUCCESS) {
                return result;
            }
        }
        close_container(count, depth, ']');
        return PLIST_ERR_SUCCESS;
    }

    plist_err_t write_dict(plist_t dict, int depth) {
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(dict, &iter);
        MallocPtr<void> owned_iter(iter);
        out_ += '{';
        uint32_t count = 0;
        while (true) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(dict, iter, &key, &value);
            CString owned_key(key);
            if (!value) {
                break;
            }
            member_separator(count++, depth + 1);
            append_json_string(key ? key : "", out_);
            out_ += compact_ ? ":" : ": ";
            plist_err_t result = write(value, depth + 1);
            if (result != PLIST_ERR_SUCCESS) {
                return result;
            }
        }
        close_container(count, depth, '}');
        return PLIST_ERR_SUCCESS;
    }

    void member_separator(uint32_t index, int depth) {
        if (index > 0) {
            out_ += ',';
        }
        new_line(depth);
    }

    void close_container(uint32_t count, int depth, char closer) {
        if (count > 0) {
            new_line(depth);
        }
        out_ += closer;
    }

    void new_line(int depth) {
        if (!compact_) {
            out_ += '\n';
            out_.append(2 * static_cast<std::size_t>(depth), ' ');
        }
    }

    bool compact_;
    std::string &out_;
};

// --------------------------------------------------------------- stream output

plist_err_t render_library_encoding(plist_t plist, plist_format_t format, std::string &out) {
    char *bytes = nullptr;
    uint32_t length = 0;
    if (format == PLIST_FORMAT_XML) {
        plist_to_xml(plist, &bytes, &length);
    } else {
        plist_to_bin(plist, &bytes, &length);
    }
    if (!bytes) {
        return PLIST_ERR_UNKNOWN;
    }
    CString owned(bytes);
    out.assign(bytes, length);
    return PLIST_ERR_SUCCESS;
}

plist_err_t render_for_stream(plist_t plist, plist_format_t format, uint32_t options,
                              std::string &out) {
    bool wants_final_newline = (options & PLIST_OPT_NO_NEWLINE) == 0;
    switch (format) {
        case PLIST_FORMAT_XML:
        case PLIST_FORMAT_BINARY:
            return render_library_encoding(plist, format, out);
        case PLIST_FORMAT_JSON: {
            plist_err_t result =
                JsonWriter((options & PLIST_OPT_COMPACT) != 0, out).write(plist, 0);
            if (result == PLIST_ERR_SUCCESS && wants_final_newline) {
                out += '\n';
            }
            return result;
        }
        case PLIST_FORMAT_PRINT:
        case PLIST_FORMAT_LIMD: {
            tarvo::ReadableTextOptions text_options;
            text_options.partial_data = (options & PLIST_OPT_PARTIAL_DATA) != 0;
            if (options & PLIST_OPT_INDENT) {
                text_options.extra_levels = (options >> 24) & 0xFF;
            }
            if (!tarvo::plist_render_readable(plist, text_options, out)) {
                return PLIST_ERR_FORMAT;
            }
            if (!wants_final_newline && !out.empty() && out.back() == '\n') {
                out.pop_back();
            }
            return PLIST_ERR_SUCCESS;
        }
        default:
            return PLIST_ERR_FORMAT;
    }
}

#endif

}  // namespace

#ifndef TARVO_HAVE_PLIST_FROM_JSON
extern "C" plist_err_t plist_from_json(const char *json, uint32_t length, plist_t *plist) {
    if (!plist) {
        return PLIST_ERR_INVALID_ARG;
    }
    *plist = nullptr;
    if (!json) {
        return PLIST_ERR_INVALID_ARG;
    }
    try {
        PlistBuilder builder;
        bool parsed = nlohmann::json::sax_parse(json, json + length, &builder,
                                                nlohmann::json::input_format_t::json, true);
        PlistPtr root = builder.take_root();
        if (!parsed || !root) {
            return PLIST_ERR_PARSE;
        }
        *plist = root.release();
        return PLIST_ERR_SUCCESS;
    } catch (const std::bad_alloc &) {
        return PLIST_ERR_NO_MEM;
    } catch (...) {
        return PLIST_ERR_PARSE;
    }
}
#endif

#ifndef TARVO_HAVE_PLIST_READ_FROM_FILE
extern "C" plist_err_t plist_read_from_file(const char *filename, plist_t *plist,
                                            plist_format_t *format) {
    if (!filename || !plist) {
        return PLIST_ERR_INVALID_ARG;
    }
    *plist = nullptr;
    if (format) {
        *format = PLIST_FORMAT_NONE;
    }
    try {
        std::string content;
        plist_err_t result = read_whole_file(filename, content);
        if (result != PLIST_ERR_SUCCESS) {
            return result;
        }
        if (content.empty()) {
            return PLIST_ERR_PARSE;
        }
        return parse_by_content(content, plist, format);
    } catch (const std::bad_alloc &) {
        return PLIST_ERR_NO_MEM;
    } catch (...) {
        return PLIST_ERR_UNKNOWN;
    }
}
#endif

#ifndef TARVO_HAVE_PLIST_WRITE_TO_STREAM
extern "C" plist_err_t plist_write_to_stream(plist_t plist, FILE *stream, plist_format_t format,
                                             plist_write_options_t options) {
    if (!plist || !stream) {
        return PLIST_ERR_INVALID_ARG;
    }
    try {
        std::string out;
        plist_err_t result = render_for_stream(plist, format, static_cast<uint32_t>(options), out);
        if (result != PLIST_ERR_SUCCESS) {
            return result;
        }
        if (!out.empty() && std::fwrite(out.data(), 1, out.size(), stream) != out.size()) {
            return PLIST_ERR_IO;
        }
        return PLIST_ERR_SUCCESS;
    } catch (const std::bad_alloc &) {
        return PLIST_ERR_NO_MEM;
    } catch (...) {
        return PLIST_ERR_UNKNOWN;
    }
}
#endif
