// A guided tour of the shared helpers for newcomers: builds paths and sizes,
// writes and re-reads a property list in both encodings, prints it for people,
// and generates the keys and certificates of a pair record.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "userpref.h"
#include "utils.h"

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct Free {
    void operator()(void *p) const { std::free(p); }
};
using HeapString = std::unique_ptr<char, Free>;

void show_sizes() {
    std::printf("== Sizes for people (powers of 1000)\n");
    for (uint64_t size : {0ULL, 999ULL, 1000ULL, 1500000ULL, 3221225472ULL}) {
        HeapString text(string_format_size(size));
        std::printf("  %12llu bytes -> %s\n", static_cast<unsigned long long>(size), text.get());
    }
}

void show_paths() {
    std::printf("\n== Paths into a backup directory\n");
    HeapString path(string_build_path("/backups", "00008030-001A", "Info.plist", nullptr));
    std::printf("  string_build_path: %s\n", path.get());
    HeapString upper(string_toupper("00008030-001a"));
    std::printf("  string_toupper:    %s\n", upper.get());
    HeapString uuid(generate_uuid());
    std::printf("  generate_uuid:     %s\n", uuid.get());
}

std::string to_xml(plist_t node) {
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    std::string text = xml ? std::string(xml, length) : std::string();
    std::free(xml);
    return text;
}

PlistPtr sample_info() {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "Device Name", plist_new_string("Demo iPhone"));
    plist_dict_set_item(dict.get(), "Product Version", plist_new_string("17.5"));
    plist_t apps = plist_new_array();
    plist_array_append_item(apps, plist_new_string("com.example.notes"));
    plist_array_append_item(apps, plist_new_string("com.example.maps"));
    plist_dict_set_item(dict.get(), "Installed Applications", apps);
    plist_dict_set_item(dict.get(), "Is Encrypted", plist_new_bool(0));
    plist_dict_set_item(dict.get(), "Icon", plist_new_data("\x89PNG", 4));
    return dict;
}

void show_plist_files(const std::string &dir) {
    std::printf("\n== A property list written as XML and binary, read back, printed for people\n");
    PlistPtr info = sample_info();
    for (int format : {0, 1}) {
        std::string file = dir + (format == 0 ? "/Info.xml.plist" : "/Info.bin.plist");
        plist_write_to_filename(info.get(), file.c_str(), format);
        plist_t node = nullptr;
        plist_read_from_filename(&node, file.c_str());
        PlistPtr back(node);
        std::printf("  %s: %s, read back %s\n", format == 0 ? "XML   " : "binary", file.c_str(),
                    back && to_xml(back.get()) == to_xml(info.get()) ? "equal" : "DIFFERENT");
    }
    std::printf("\n");
    plist_print_to_stream(info.get(), stdout);
}

void show_pair_record() {
    std::printf("\n== A pair record's keys and certificates\n");
    EVP_PKEY *device_key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(bio, device_key);
    char *pem = nullptr;
    long pem_len = BIO_get_mem_data(bio, &pem);
    key_data_t device_public{reinterpret_cast<unsigned char *>(pem), static_cast<uint32_t>(pem_len)};

    PlistPtr record(plist_new_dict());
    int rc = pair_record_generate_keys_and_certs(record.get(), device_public, 17 << 16);
    HeapString host_id(generate_uuid());
    pair_record_set_host_id(record.get(), host_id.get());
    std::printf("  generate_keys_and_certs: %d\n", rc);
    for (const char *item : {"HostID", "RootCertificate", "RootPrivateKey", "HostCertificate",
                             "HostPrivateKey", "DeviceCertificate"}) {
        plist_t node = plist_dict_get_item(record.get(), item);
        uint64_t len = 0;
        if (node && plist_get_node_type(node) == PLIST_DATA) {
            plist_get_data_ptr(node, &len);
            std::printf("  %-18s %llu bytes of PEM\n", item, static_cast<unsigned long long>(len));
        } else if (node) {
            char *text = nullptr;
            plist_get_string_val(node, &text);
            std::printf("  %-18s %s\n", item, text);
            std::free(text);
        }
    }
    BIO_free(bio);
    EVP_PKEY_free(device_key);
}

}  // namespace

int main() {
    char dir_template[] = "/tmp/tarvo-demo-XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (!dir) {
        std::perror("mkdtemp");
        return 1;
    }
    show_sizes();
    show_paths();
    show_plist_files(dir);
    show_pair_record();
    std::printf("\nFiles left in %s\n", dir);
    return 0;
}
