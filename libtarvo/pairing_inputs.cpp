/*
 * Version packing, device key conversion and HostID generation for pairing.
 */
#include "pairing_inputs.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "owners.h"

namespace libtarvo {

uint32_t pack_product_version(std::string_view version) {
    uint32_t parts[3] = {0, 0, 0};
    std::size_t index = 0;
    for (char c : version) {
        if (c == '.') {
            if (++index == 3) {
                break;
            }
        } else if (c >= '0' && c <= '9') {
            parts[index] =
                std::min<uint32_t>(parts[index] * 10 + static_cast<uint32_t>(c - '0'), 100000);
        } else {
            break;
        }
    }
    return (std::min<uint32_t>(parts[0], 0xFFFF) << 16) |
           (std::min<uint32_t>(parts[1], 0xFF) << 8) | std::min<uint32_t>(parts[2], 0xFF);
}

namespace {

EvpPkeyPtr read_spki(std::span<const uint8_t> pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return EvpPkeyPtr(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

EvpPkeyPtr read_pkcs1(std::span<const uint8_t> pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        return nullptr;
    }
    char *name = nullptr;
    char *header = nullptr;
    unsigned char *der = nullptr;
    long der_length = 0;
    if (PEM_read_bio(bio.get(), &name, &header, &der, &der_length) != 1) {
        return nullptr;
    }
    EvpPkeyPtr key;
    if (std::strcmp(name, PEM_STRING_RSA_PUBLIC) == 0) {
        const unsigned char *cursor = der;
        key.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, der_length));
        if (key && cursor != der + der_length) {
            key.reset();  // trailing bytes after the key
        }
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(der);
    return key;
}

}  // namespace

Status device_public_key_as_spki_pem(std::span<const uint8_t> pem, std::string *spki_pem) {
    spki_pem->clear();
    if (pem.empty() || pem.size() > INT_MAX) {
        return Status::kMalformed;
    }
    EvpPkeyPtr key = read_spki(pem);
    if (!key) {
        key = read_pkcs1(pem);
    }
    ERR_clear_error();
    if (!key) {
        return Status::kMalformed;
    }
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_PUBKEY(out.get(), key.get()) != 1) {
        ERR_clear_error();
        return Status::kMalformed;
    }
    char *data = nullptr;
    long length = BIO_get_mem_data(out.get(), &data);
    spki_pem->assign(data, static_cast<std::size_t>(length));
    return Status::kOk;
}

std::string random_host_id() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
        ERR_clear_error();
        return {};
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string id;
    id.reserve(36);
    for (std::size_t i = 0; i < sizeof(bytes); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            id += '-';
        }
        id += kHex[bytes[i] >> 4];
        id += kHex[bytes[i] & 0x0F];
    }
    return id;
}

}  // namespace libtarvo
