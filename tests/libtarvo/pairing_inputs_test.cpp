// Values the host derives before pairing: version number, device key, HostID.
#include "libtarvo/pairing_inputs.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <regex>
#include <string>

#include "owners.h"

namespace libtarvo {
namespace {

TEST(PairingInputs, PacksProductVersions) {
    // Each table test spells its own cases out, so that a failing row reads on its own.
    struct Case {
        const char *text;
        uint32_t packed;
    };
    const Case cases[] = {
        {"17.5.1", 0x110501},
        {"4.0", 0x40000},
        {"3.1.3", 0x30103},
        {"10", 0x0A0000},
        {"", 0},
        {"16.4.1 (a)", 0x100401},
        {"1.2.3.4", 0x010203},
        {"1.300.2", 0x01FF02},
        {"99999999.1", 0xFFFF0100},
        {"x9", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(pack_product_version(c.text), c.packed) << c.text;
    }
    // The digest switch sits between these two.
    EXPECT_EQ(pack_product_version("3.255.255") >> 18, 0u);
    EXPECT_NE(pack_product_version("4.0.0") >> 18, 0u);
}

EvpPkeyPtr new_rsa_key() {
    return EvpPkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024)));
}

// PEM of a PKCS#1 RSAPublicKey, the form devices send.
std::string pkcs1_pem(EVP_PKEY *key) {
    unsigned char *der = nullptr;
    int length = i2d_PublicKey(key, &der);
    BioPtr bio(BIO_new(BIO_s_mem()));
    EXPECT_GT(PEM_write_bio(bio.get(), PEM_STRING_RSA_PUBLIC, "", der, length), 0);
    OPENSSL_free(der);
    char *data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::span<const uint8_t> bytes(const std::string &text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

EvpPkeyPtr read_spki(const std::string &pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return EvpPkeyPtr(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

TEST(PairingInputs, DeviceKeyBecomesSubjectPublicKeyInfo) {
    EvpPkeyPtr key = new_rsa_key();
    ASSERT_TRUE(key);
    const std::string device_pem = pkcs1_pem(key.get());
    ASSERT_NE(device_pem.find("BEGIN RSA PUBLIC KEY"), std::string::npos);

    std::string spki;
    ASSERT_EQ(device_public_key_as_spki_pem(bytes(device_pem), &spki), Status::kOk);
    EXPECT_NE(spki.find("BEGIN PUBLIC KEY"), std::string::npos);
    EvpPkeyPtr back = read_spki(spki);
    ASSERT_TRUE(back);
    EXPECT_EQ(EVP_PKEY_eq(back.get(), key.get()), 1);

    // Already in the generator's form: passed through unchanged in meaning.
    std::string again;
    ASSERT_EQ(device_public_key_as_spki_pem(bytes(spki), &again), Status::kOk);
    EXPECT_EQ(again, spki);
}

TEST(PairingInputs, RefusesKeysThatAreNotPem) {
    const std::string cases[] = {
        "",
        "not a key",
        "-----BEGIN RSA PUBLIC KEY-----\nAAAA\n-----END RSA PUBLIC KEY-----\n",
        "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n",
    };
    for (const std::string &pem : cases) {
        std::string out = "stale";
        EXPECT_EQ(device_public_key_as_spki_pem(bytes(pem), &out), Status::kMalformed) << pem;
        EXPECT_TRUE(out.empty());
    }
    EXPECT_EQ(ERR_peek_error(), 0u) << "failures must not leave errors queued";
}

TEST(PairingInputs, HostIdsAreFreshUpperCaseVersion4Uuids) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    const std::string first = random_host_id();
    const std::string second = random_host_id();
    EXPECT_TRUE(std::regex_match(first, form)) << first;
    EXPECT_TRUE(std::regex_match(second, form)) << second;
    EXPECT_NE(first, second);
}

}  // namespace
}  // namespace libtarvo
