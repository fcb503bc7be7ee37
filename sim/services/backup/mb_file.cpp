/*
 * Writing and reading MBFile keyed archives with libplist.
 */
#include "mb_file.h"

#include "owners.h"
#include "plist_items.h"
#include "plist_untrusted.h"

namespace tarvosim {
namespace {

constexpr std::size_t kMaxArchiveSize = 64 * 1024;

plist_t object_at(plist_t objects, plist_t uid_node) {
    if (!uid_node || plist_get_node_type(uid_node) != PLIST_UID) {
        return nullptr;
    }
    uint64_t index = 0;
    plist_get_uid_val(uid_node, &index);
    return index < plist_array_get_size(objects)
               ? plist_array_get_item(objects, static_cast<uint32_t>(index))
               : nullptr;
}

std::optional<std::string> string_at(plist_t objects, plist_t uid_node) {
    return tarvo::string_value(object_at(objects, uid_node));
}

std::optional<std::vector<uint8_t>> data_at(plist_t objects, plist_t uid_node) {
    return tarvo::data_item(object_at(objects, uid_node), "NS.data");
}

uint64_t uint_of(plist_t record, const char *key) {
    return tarvo::uint_item(record, key).value_or(0);
}

plist_t class_object(const char *name, const char *base) {
    plist_t classes = plist_new_array();
    plist_array_append_item(classes, plist_new_string(name));
    plist_array_append_item(classes, plist_new_string(base));
    plist_t object = plist_new_dict();
    plist_dict_set_item(object, "$classname", plist_new_string(name));
    plist_dict_set_item(object, "$classes", classes);
    return object;
}

}  // namespace

std::vector<uint8_t> encode_mb_file(const MbFile &file) {
    PlistPtr objects(plist_new_array());
    plist_array_append_item(objects.get(), plist_new_string("$null"));
    plist_t record = plist_new_dict();
    plist_array_append_item(objects.get(), record);  // UID 1
    auto add = [&](plist_t node) {
        plist_array_append_item(objects.get(), node);
        return plist_new_uid(plist_array_get_size(objects.get()) - 1);
    };
    plist_dict_set_item(record, "RelativePath", add(plist_new_string(file.relative_path.c_str())));
    plist_dict_set_item(record, "Size", plist_new_uint(file.size));
    plist_dict_set_item(record, "Mode", plist_new_uint(file.mode));
    plist_dict_set_item(record, "Flags", plist_new_uint(file.flags));
    plist_dict_set_item(record, "UserID", plist_new_uint(file.user_id));
    plist_dict_set_item(record, "GroupID", plist_new_uint(file.group_id));
    plist_dict_set_item(record, "InodeNumber", plist_new_uint(file.inode));
    plist_dict_set_item(record, "Birth", plist_new_uint(static_cast<uint64_t>(file.birth)));
    plist_dict_set_item(record, "LastModified",
                        plist_new_uint(static_cast<uint64_t>(file.last_modified)));
    plist_dict_set_item(record, "LastStatusChange",
                        plist_new_uint(static_cast<uint64_t>(file.last_status_change)));
    plist_dict_set_item(record, "ProtectionClass", plist_new_uint(file.protection_class));
    if (file.target) {
        plist_dict_set_item(record, "Target", add(plist_new_string(file.target->c_str())));
    }
    if (file.encryption_key) {
        plist_t holder = plist_new_dict();
        plist_dict_set_item(
            holder, "NS.data",
            plist_new_data(reinterpret_cast<const char *>(file.encryption_key->data()),
                           file.encryption_key->size()));
        plist_t key_uid = add(holder);
        plist_dict_set_item(holder, "$class", add(class_object("NSMutableData", "NSData")));
        plist_dict_set_item(record, "EncryptionKey", key_uid);
    }
    plist_dict_set_item(record, "$class", add(class_object("MBFile", "NSObject")));

    PlistPtr root(plist_new_dict());
    plist_dict_set_item(root.get(), "$version", plist_new_uint(100000));
    plist_dict_set_item(root.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(root.get(), "$top", top);
    plist_dict_set_item(root.get(), "$objects", objects.release());
    char *bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root.get(), &bin, &length);
    std::vector<uint8_t> bytes(bin, bin + (bin ? length : 0));
    plist_to_bin_free(bin);
    return bytes;
}

std::optional<MbFile> decode_mb_file(std::span<const uint8_t> bytes) {
    if (bytes.size() > kMaxArchiveSize) {
        return std::nullopt;
    }
    PlistPtr root(tarvo::plist_from_untrusted_memory(reinterpret_cast<const char *>(bytes.data()),
                                                     bytes.size()));
    plist_t objects = root && plist_get_node_type(root.get()) == PLIST_DICT
                          ? plist_dict_get_item(root.get(), "$objects")
                          : nullptr;
    plist_t top = root ? plist_dict_get_item(root.get(), "$top") : nullptr;
    if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !top ||
        plist_get_node_type(top) != PLIST_DICT) {
        return std::nullopt;
    }
    plist_t record = object_at(objects, plist_dict_get_item(top, "root"));
    if (!record || plist_get_node_type(record) != PLIST_DICT) {
        return std::nullopt;
    }
    MbFile file;
    std::optional<std::string> path =
        string_at(objects, plist_dict_get_item(record, "RelativePath"));
    if (!path) {
        return std::nullopt;
    }
    file.relative_path = *path;
    file.size = uint_of(record, "Size");
    file.mode = uint_of(record, "Mode");
    file.flags = uint_of(record, "Flags");
    file.user_id = uint_of(record, "UserID");
    file.group_id = uint_of(record, "GroupID");
    file.inode = uint_of(record, "InodeNumber");
    file.birth = static_cast<int64_t>(uint_of(record, "Birth"));
    file.last_modified = static_cast<int64_t>(uint_of(record, "LastModified"));
    file.last_status_change = static_cast<int64_t>(uint_of(record, "LastStatusChange"));
    file.protection_class = uint_of(record, "ProtectionClass");
    file.target = string_at(objects, plist_dict_get_item(record, "Target"));
    file.encryption_key = data_at(objects, plist_dict_get_item(record, "EncryptionKey"));
    return file;
}

}  // namespace tarvosim
