/*
 * Deep comparison of property lists, reporting the first difference.
 */
#include "plist_compare.h"

#include <vector>

#include "message_log.h"
#include "plist_dict_walk.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

// Nested past this, the host's value is no request any test wrote.
constexpr int kMaxDepth = 64;

const char *type_name(plist_type type) {
    switch (type) {
        case PLIST_BOOLEAN:
            return "a boolean";
        case PLIST_UINT:
            return "an integer";
        case PLIST_REAL:
            return "a real";
        case PLIST_STRING:
            return "a string";
        case PLIST_ARRAY:
            return "an array";
        case PLIST_DICT:
            return "a dictionary";
        case PLIST_DATE:
            return "a date";
        case PLIST_DATA:
            return "data";
        case PLIST_KEY:
            return "a key";
        case PLIST_UID:
            return "a UID";
        default:
            return "something else";
    }
}

bool same_scalar(plist_t a, plist_t b) {
    switch (plist_get_node_type(a)) {
        case PLIST_STRING:
            return tarvo::string_value(a) == tarvo::string_value(b);
        default:
            // Booleans, integers, reals, dates and UIDs compare by value.
            return plist_compare_node_value(a, b) != 0;
    }
}

/// Two data values of the same length read alike in the trace's form, so
/// the first differing byte is named instead.
std::optional<std::string> data_difference(plist_t got, plist_t wanted, const std::string &where) {
    const std::vector<uint8_t> x = tarvo::data_value(got).value_or(std::vector<uint8_t>());
    const std::vector<uint8_t> y = tarvo::data_value(wanted).value_or(std::vector<uint8_t>());
    if (x.size() != y.size()) {
        return where + " holds " + std::to_string(x.size()) + " bytes, expected " +
               std::to_string(y.size());
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i] != y[i]) {
            return where + " differs from the expected data at byte " + std::to_string(i);
        }
    }
    return std::nullopt;
}

std::optional<std::string> compare(plist_t got, plist_t wanted, const std::string &where,
                                   int depth) {
    if (!got) {
        return where + " is missing, expected " + describe_plist(wanted);
    }
    const plist_type type = plist_get_node_type(wanted);
    if (plist_get_node_type(got) != type) {
        return where + " is " + type_name(plist_get_node_type(got)) + " (" + describe_plist(got) +
               "), expected " + type_name(type) + " (" + describe_plist(wanted) + ")";
    }
    if (depth > kMaxDepth) {
        return where + " is nested too deeply to compare";
    }
    if (type == PLIST_DICT) {
        std::optional<std::string> difference;
        for_each_dict_item(wanted, [&](const std::string &key, plist_t value) {
            difference = compare(plist_dict_get_item(got, key.c_str()), value,
                                 where + " > \"" + key + "\"", depth + 1);
            return !difference;
        });
        if (difference) {
            return difference;
        }
        for_each_dict_item(got, [&](const std::string &key, plist_t value) {
            if (!plist_dict_get_item(wanted, key.c_str())) {
                difference = where + " > \"" + key + "\" is " + describe_plist(value) +
                             ", expected no such item";
            }
            return !difference;
        });
        return difference;
    }
    if (type == PLIST_ARRAY) {
        const uint32_t got_size = plist_array_get_size(got);
        const uint32_t wanted_size = plist_array_get_size(wanted);
        for (uint32_t i = 0; i < got_size && i < wanted_size; ++i) {
            if (auto difference =
                    compare(plist_array_get_item(got, i), plist_array_get_item(wanted, i),
                            where + " [" + std::to_string(i) + "]", depth + 1)) {
                return difference;
            }
        }
        if (got_size != wanted_size) {
            return where + " has " + std::to_string(got_size) + " elements, expected " +
                   std::to_string(wanted_size);
        }
        return std::nullopt;
    }
    if (type == PLIST_DATA) {
        return data_difference(got, wanted, where);
    }
    if (!same_scalar(got, wanted)) {
        return where + " is " + describe_plist(got) + ", expected " + describe_plist(wanted);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> first_difference(plist_t got, plist_t wanted, const std::string &where) {
    return compare(got, wanted, where, 0);
}

}  // namespace tarvosim
