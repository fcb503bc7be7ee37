// Property lists as JSON.
#include "plist_json.h"

#include <cmath>
#include <span>

#include "base64.h"
#include "plist_readable_writer.h"

namespace tarvo {
namespace {

using Json = nlohmann::ordered_json;

Json integer_of(plist_t node) {
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    if (plist_integer_is_negative(node)) {
        return static_cast<int64_t>(value);
    }
    return value;
}

std::optional<Json> value_of(plist_t node, int depth) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return Json(value != 0);
        }
        case PLIST_UINT:
            return integer_of(node);
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return std::isfinite(value) ? Json(value) : Json(nullptr);
        }
        case PLIST_STRING:
        case PLIST_KEY: {
            uint64_t length = 0;
            const char *text = plist_get_string_ptr(node, &length);
            return Json(std::string(text ? text : "", text ? length : 0));
        }
        case PLIST_DATA: {
            uint64_t length = 0;
            const char *bytes = plist_get_data_ptr(node, &length);
            return Json(base64_encode(
                std::span(reinterpret_cast<const unsigned char *>(bytes), bytes ? length : 0)));
        }
        case PLIST_DATE:
            return Json(plist_date_iso8601(node));
        case PLIST_UID: {
            uint64_t value = 0;
            plist_get_uid_val(node, &value);
            return Json(value);
        }
        case PLIST_ARRAY: {
            if (depth >= kPlistMaxNesting) {
                return std::nullopt;
            }
            Json array = Json::array();
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                std::optional<Json> item = value_of(plist_array_get_item(node, i), depth + 1);
                if (!item) {
                    return std::nullopt;
                }
                array.push_back(std::move(*item));
            }
            return array;
        }
        case PLIST_DICT: {
            if (depth >= kPlistMaxNesting) {
                return std::nullopt;
            }
            Json object = Json::object();
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            bool complete = true;
            for (;;) {
                char *key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, &key, &item);
                if (!key) {
                    break;
                }
                std::optional<Json> value = item ? value_of(item, depth + 1) : Json(nullptr);
                if (value) {
                    object[key] = std::move(*value);
                }
                free(key);
                if (!value) {
                    complete = false;
                    break;
                }
            }
            free(iter);
            return complete ? std::optional<Json>(std::move(object)) : std::nullopt;
        }
        default:
            return Json(nullptr);
    }
}

}  // namespace

std::optional<nlohmann::ordered_json> plist_to_json_value(plist_t node) {
    return node ? value_of(node, 0) : std::nullopt;
}

std::string plist_to_json_text(plist_t node) {
    std::optional<Json> value = plist_to_json_value(node);
    if (!value) {
        return "";
    }
    return value->dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace tarvo
