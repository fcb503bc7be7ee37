// The reader's MBFile decoder against records the builder writes, every
// cut of one, and a table of archives a hostile backup could hold.
#include "mb_record.h"

#include <gtest/gtest.h>

#include "test_backup_builder.h"

namespace {

using namespace browsetest;

TEST(MbRecord, ReadsWhatTheFormatHolds) {
    TestEntry entry = make_link("Library/x", "y");
    entry.mode = 0120644;
    entry.mtime = 1234567890;
    const Bytes key(44, 7);
    const Bytes archive = mb_archive(entry, 99, &key);
    std::string why;
    const std::optional<browse::MbRecord> record = browse::decode_mb_record(archive, &why);
    ASSERT_TRUE(record) << why;
    EXPECT_EQ(record->relative_path, "Library/x");
    EXPECT_EQ(record->size, 99u);
    EXPECT_EQ(record->mode, 0120644u);
    EXPECT_EQ(record->last_modified, 1234567890);
    EXPECT_EQ(record->target, "y");
    EXPECT_EQ(record->encryption_key, key);
    for (size_t cut = 0; cut < archive.size(); ++cut) {
        EXPECT_FALSE(browse::decode_mb_record({archive.data(), cut}, nullptr)) << cut;
    }
}

// A record as the builder writes it, with one change made to its tree.
Bytes altered(void (*change)(plist_t root, plist_t objects, plist_t record)) {
    const Bytes good = mb_archive(make_file("p", "x"), 1, nullptr);
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char *>(good.data()), good.size(), &root);
    plist_t objects = plist_dict_get_item(root, "$objects");
    change(root, objects, plist_array_get_item(objects, 1));
    Bytes bytes = plist_bytes(root);
    plist_free(root);
    return bytes;
}

TEST(MbRecord, RefusesArchivesThatAreNoRecord) {
    const struct {
        const char *what;
        Bytes archive;
    } cases[] = {
        {"no $objects",
         altered([](plist_t root, plist_t, plist_t) { plist_dict_remove_item(root, "$objects"); })},
        {"root names past $objects", altered([](plist_t root, plist_t, plist_t) {
             plist_dict_set_item(plist_dict_get_item(root, "$top"), "root", plist_new_uid(999));
         })},
        {"root is no UID", altered([](plist_t root, plist_t, plist_t) {
             plist_dict_set_item(plist_dict_get_item(root, "$top"), "root", plist_new_uint(1));
         })},
        {"Size is a string", altered([](plist_t, plist_t, plist_t record) {
             plist_dict_set_item(record, "Size", plist_new_string("1"));
         })},
        {"Size past any content", altered([](plist_t, plist_t, plist_t record) {
             plist_dict_set_item(record, "Size", plist_new_uint(UINT64_MAX));
         })},
        {"no Mode",
         altered([](plist_t, plist_t, plist_t record) { plist_dict_remove_item(record, "Mode"); })},
        {"RelativePath names a number", altered([](plist_t, plist_t objects, plist_t record) {
             plist_array_append_item(objects, plist_new_uint(5));
             plist_dict_set_item(record, "RelativePath",
                                 plist_new_uid(plist_array_get_size(objects) - 1));
         })},
        {"Target is no string", altered([](plist_t, plist_t, plist_t record) {
             plist_dict_set_item(record, "Target", plist_new_uid(0xFFFFFFFF));
         })},
        {"EncryptionKey without NS.data", altered([](plist_t, plist_t, plist_t record) {
             plist_dict_set_item(record, "EncryptionKey", plist_new_uid(1));
         })},
        {"a class other than MBFile", altered([](plist_t, plist_t, plist_t record) {
             plist_dict_set_item(record, "$class", plist_new_uid(0));
         })},
        {"longer than the cap", Bytes(browse::kMaxRecordBytes + 1, 'x')},
        {"not a property list", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}},
    };
    for (const auto &c : cases) {
        std::string why;
        EXPECT_FALSE(browse::decode_mb_record(c.archive, &why)) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
    }
}

}  // namespace
