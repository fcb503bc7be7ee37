// Decoding MBFile keyed archives with libplist, after the untrusted-input check.
#include "mb_record.h"

#include "owners.h"
#include "plist_items.h"
#include "plist_untrusted.h"

namespace browse {
namespace {

// The object a UID node names in $objects; null for anything else.
plist_t object_of(plist_t objects, plist_t uid_node) {
    if (!uid_node || plist_get_node_type(uid_node) != PLIST_UID) {
        return nullptr;
    }
    uint64_t index = 0;
    plist_get_uid_val(uid_node, &index);
    return tarvo::array_item(objects, index > UINT32_MAX ? UINT32_MAX : uint32_t(index));
}

bool names_mbfile_class(plist_t objects, plist_t record) {
    const plist_t klass = object_of(objects, tarvo::dict_item(record, "$class"));
    return tarvo::string_item(klass, "$classname") == "MBFile";
}

// A string field held by UID; `present` false when the key is absent.
std::optional<std::string> string_field(plist_t objects, plist_t record, const char *key,
                                        bool *present) {
    const plist_t uid = tarvo::dict_item(record, key);
    *present = uid != nullptr;
    std::optional<std::string> text = tarvo::string_value(object_of(objects, uid));
    if (text && text->size() > kMaxRecordPathBytes) {
        return std::nullopt;
    }
    return text;
}

bool fail(std::string *why, const char *text) {
    if (why) {
        *why = text;
    }
    return false;
}

bool read_numbers(plist_t record, MbRecord &out, std::string *why) {
    const std::optional<uint64_t> size = tarvo::uint_item(record, "Size");
    const std::optional<uint64_t> mode = tarvo::uint_item(record, "Mode");
    const std::optional<uint64_t> modified = tarvo::uint_item(record, "LastModified");
    if (!size || !mode || !modified) {
        return fail(why, "no Size, Mode or LastModified number");
    }
    // Sizes past 2^62 cannot be content; refusing them keeps sums safe.
    if (*size > (uint64_t(1) << 62)) {
        return fail(why, "an impossible Size");
    }
    out.size = *size;
    out.mode = *mode;
    out.last_modified = static_cast<int64_t>(*modified);
    out.protection_class = tarvo::uint_item(record, "ProtectionClass").value_or(0);
    return true;
}

bool read_strings(plist_t objects, plist_t record, MbRecord &out, std::string *why) {
    bool present = false;
    std::optional<std::string> path = string_field(objects, record, "RelativePath", &present);
    if (!path) {
        return fail(why, "no RelativePath string");
    }
    out.relative_path = std::move(*path);
    out.target = string_field(objects, record, "Target", &present);
    if (present && !out.target) {
        return fail(why, "a Target that is no string");
    }
    const plist_t key_uid = tarvo::dict_item(record, "EncryptionKey");
    if (key_uid) {
        out.encryption_key = tarvo::data_item(object_of(objects, key_uid), "NS.data");
        if (!out.encryption_key) {
            return fail(why, "an EncryptionKey without NS.data");
        }
    }
    return true;
}

}  // namespace

std::optional<MbRecord> decode_mb_record(std::span<const uint8_t> bytes, std::string *why) {
    if (bytes.size() > kMaxRecordBytes) {
        fail(why, "a record too long");
        return std::nullopt;
    }
    PlistPtr root(tarvo::plist_from_untrusted_memory(bytes));
    const plist_t objects = tarvo::dict_item(root.get(), "$objects");
    const plist_t top = tarvo::dict_item(root.get(), "$top");
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY) {
        fail(why, root ? "no $objects array" : "no property list");
        return std::nullopt;
    }
    const plist_t record = object_of(objects, tarvo::dict_item(top, "root"));
    if (!record || plist_get_node_type(record) != PLIST_DICT) {
        fail(why, "no root record");
        return std::nullopt;
    }
    if (!names_mbfile_class(objects, record)) {
        fail(why, "a record of another class");
        return std::nullopt;
    }
    MbRecord out;
    if (!read_numbers(record, out, why) || !read_strings(objects, record, out, why)) {
        return std::nullopt;
    }
    return out;
}

}  // namespace browse
