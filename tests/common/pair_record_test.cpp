// Items of one pair record: HostID and the PEM key and certificate items.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "owners.h"
#include "userpref.h"

namespace {

std::string data_item(plist_t record, const char *name) {
    plist_t item = plist_dict_get_item(record, name);
    if (!item || plist_get_node_type(item) != PLIST_DATA) {
        return "<not data>";
    }
    uint64_t length = 0;
    const char *bytes = plist_get_data_ptr(item, &length);
    return std::string(bytes, length);
}

TEST(PairRecordHostId, SetReplacesAndGetReturnsAHeapCopy) {
    PlistPtr record(plist_new_dict());
    ASSERT_EQ(pair_record_set_host_id(record.get(), "FIRST"), 0);
    ASSERT_EQ(pair_record_set_host_id(record.get(), "SECOND"), 0);
    EXPECT_EQ(plist_dict_get_size(record.get()), 1u);

    char *host_id = nullptr;
    EXPECT_EQ(pair_record_get_host_id(record.get(), &host_id), 0);
    ASSERT_NE(host_id, nullptr);
    EXPECT_STREQ(host_id, "SECOND");
    std::free(host_id);
}

TEST(PairRecordHostId, MissingOrNonStringHostIdLeavesTheOutputAlone) {
    PlistPtr record(plist_new_dict());
    char *host_id = nullptr;
    EXPECT_EQ(pair_record_get_host_id(record.get(), &host_id), 0);
    EXPECT_EQ(host_id, nullptr);

    plist_dict_set_item(record.get(), "HostID", plist_new_uint(42));
    EXPECT_EQ(pair_record_get_host_id(record.get(), &host_id), 0);
    EXPECT_EQ(host_id, nullptr);
}

TEST(PairRecordHostId, SetRefusesMissingArguments) {
    PlistPtr record(plist_new_dict());
    EXPECT_EQ(pair_record_set_host_id(nullptr, "X"), USERPREF_E_INVALID_ARG);
    EXPECT_EQ(pair_record_set_host_id(record.get(), nullptr), USERPREF_E_INVALID_ARG);
    EXPECT_EQ(plist_dict_get_size(record.get()), 0u);
}

TEST(PairRecordKeyData, StoresExactlyNBytesAndReadsBackNPlusOne) {
    struct Case {
        const char *what;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty", ""},
        {"ten bytes", "0123456789"},
        {"PEM with a NUL inside", std::string("-----BEGIN\0X-----\n", 18)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PlistPtr record(plist_new_dict());
        plist_dict_set_item(record.get(), "Other", plist_new_string("kept"));
        key_data_t in{reinterpret_cast<unsigned char *>(const_cast<char *>(c.bytes.data())),
                      static_cast<uint32_t>(c.bytes.size())};
        ASSERT_EQ(pair_record_set_item_from_key_data(record.get(), "RootCertificate", &in), 0);
        EXPECT_EQ(data_item(record.get(), "RootCertificate"), c.bytes);
        EXPECT_NE(plist_dict_get_item(record.get(), "Other"), nullptr);

        key_data_t out{nullptr, 0};
        ASSERT_EQ(pair_record_get_item_as_key_data(record.get(), "RootCertificate", &out), 0);
        ASSERT_EQ(out.size, c.bytes.size() + 1);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(out.data), c.bytes.size()), c.bytes);
        EXPECT_EQ(out.data[c.bytes.size()], '\0');
        std::free(out.data);
    }
}

TEST(PairRecordKeyData, SettingAgainReplacesTheItem) {
    PlistPtr record(plist_new_dict());
    unsigned char first[] = "first";
    unsigned char second[] = "2nd";
    key_data_t a{first, 5};
    key_data_t b{second, 3};
    ASSERT_EQ(pair_record_set_item_from_key_data(record.get(), "HostPrivateKey", &a), 0);
    ASSERT_EQ(pair_record_set_item_from_key_data(record.get(), "HostPrivateKey", &b), 0);
    EXPECT_EQ(data_item(record.get(), "HostPrivateKey"), "2nd");
    EXPECT_EQ(plist_dict_get_size(record.get()), 1u);
}

TEST(PairRecordKeyData, ReadingAMissingOrNonDataItemFails) {
    PlistPtr record(plist_new_dict());
    plist_dict_set_item(record.get(), "HostCertificate", plist_new_string("PEM as text"));
    key_data_t out{nullptr, 0};
    EXPECT_EQ(pair_record_get_item_as_key_data(record.get(), "HostCertificate", &out),
              USERPREF_E_INVALID_CONF);
    EXPECT_EQ(pair_record_get_item_as_key_data(record.get(), "Missing", &out),
              USERPREF_E_INVALID_CONF);
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(pair_record_get_item_as_key_data(nullptr, "Missing", &out), USERPREF_E_INVALID_ARG);
    EXPECT_EQ(pair_record_get_item_as_key_data(record.get(), "HostCertificate", nullptr),
              USERPREF_E_INVALID_ARG);
    EXPECT_EQ(pair_record_set_item_from_key_data(record.get(), "X", nullptr),
              USERPREF_E_INVALID_ARG);
    EXPECT_EQ(pair_record_set_item_from_key_data(nullptr, "X", &out), USERPREF_E_INVALID_ARG);
}

TEST(PairRecordImport, NullOutputReadsNothingEvenForMissingItems) {
    PlistPtr record(plist_new_dict());
    EXPECT_EQ(pair_record_import_crt_with_name(record.get(), "Missing", nullptr), 0);
    EXPECT_EQ(pair_record_import_key_with_name(record.get(), "Missing", nullptr), 0);

    key_data_t out{nullptr, 0};
    EXPECT_EQ(pair_record_import_key_with_name(record.get(), "Missing", &out),
              USERPREF_E_INVALID_CONF);
    unsigned char pem[] = "PEM";
    key_data_t in{pem, 3};
    ASSERT_EQ(pair_record_set_item_from_key_data(record.get(), "RootPrivateKey", &in), 0);
    ASSERT_EQ(pair_record_import_key_with_name(record.get(), "RootPrivateKey", &out), 0);
    EXPECT_EQ(out.size, 4u);
    EXPECT_STREQ(reinterpret_cast<char *>(out.data), "PEM");
    std::free(out.data);
}

}  // namespace
