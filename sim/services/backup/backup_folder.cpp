/*
 * File IDs, dates and the Status.plist of a backup folder.
 */
#include "backup_folder.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "plist_untrusted.h"

namespace tarvosim {
namespace {

// Property-list dates count from 2001-01-01.
constexpr int64_t kPlistEpoch = 978307200;
constexpr std::size_t kMaxSmallPlist = 8 * 1024 * 1024;

std::string hex_of(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(bytes.size() * 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    return text;
}

/// SHA-1 fetched once per thread, with one context for all its digests: a
/// one-shot digest fetches the algorithm and makes a context each time,
/// which costs more than hashing a path.
class PathHasher {
  public:
    PathHasher() : sha1_(EVP_MD_fetch(nullptr, "SHA1", nullptr)), context_(EVP_MD_CTX_new()) {}

    /// The digest of "<domain>-<relative path>"; empty when the library fails.
    std::span<const uint8_t> digest(std::string_view domain, std::string_view relative_path) {
        unsigned int length = 0;
        EVP_MD_CTX *context = context_.get();
        const bool made =
            sha1_ && context && EVP_DigestInit_ex(context, sha1_.get(), nullptr) == 1 &&
            EVP_DigestUpdate(context, domain.data(), domain.size()) == 1 &&
            EVP_DigestUpdate(context, "-", 1) == 1 &&
            EVP_DigestUpdate(context, relative_path.data(), relative_path.size()) == 1 &&
            EVP_DigestFinal_ex(context, digest_, &length) == 1;
        return std::span<const uint8_t>(digest_, made ? length : 0);
    }

  private:
    EvpMdPtr sha1_;
    EvpMdCtxPtr context_;
    uint8_t digest_[EVP_MAX_MD_SIZE] = {};
};

}  // namespace

std::string file_id_of(const std::string &domain, const std::string &relative_path) {
    thread_local PathHasher hasher;
    return hex_of(hasher.digest(domain, relative_path));
}

bool is_file_id(const std::string &id) {
    return id.size() == 40 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string content_path_of(const std::string &folder, const std::string &file_id) {
    return folder + "/" + file_id.substr(0, 2) + "/" + file_id;
}

int64_t unix_now() {
    return static_cast<int64_t>(std::time(nullptr));
}

plist_t plist_date_of(int64_t unix_seconds) {
    return plist_new_date(static_cast<int32_t>(unix_seconds - kPlistEpoch), 0);
}

int64_t unix_seconds_of(plist_t date) {
    if (!date || plist_get_node_type(date) != PLIST_DATE) {
        return 0;
    }
    int32_t seconds = 0;
    int32_t micros = 0;
    plist_get_date_val(date, &seconds, &micros);
    return seconds + kPlistEpoch;
}

std::vector<uint8_t> binary_plist(plist_t node) {
    char *bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    std::vector<uint8_t> bytes(bin, bin + (bin ? length : 0));
    plist_to_bin_free(bin);
    return bytes;
}

PlistPtr read_dictionary(std::span<const uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > kMaxSmallPlist) {
        return nullptr;
    }
    PlistPtr root(tarvo::plist_from_untrusted_memory(bytes));
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        return nullptr;
    }
    return root;
}

std::vector<uint8_t> status_plist(bool full, bool finished, const std::string &uuid) {
    PlistPtr status(plist_new_dict());
    plist_dict_set_item(status.get(), "BackupState", plist_new_string("new"));
    plist_dict_set_item(status.get(), "Date", plist_date_of(unix_now()));
    plist_dict_set_item(status.get(), "IsFullBackup", plist_new_bool(full));
    plist_dict_set_item(status.get(), "SnapshotState",
                        plist_new_string(finished ? "finished" : "uploading"));
    plist_dict_set_item(status.get(), "UUID", plist_new_string(uuid.c_str()));
    plist_dict_set_item(status.get(), "Version", plist_new_string("3.3"));
    return binary_plist(status.get());
}

std::optional<LastStatus> read_status_plist(std::span<const uint8_t> bytes) {
    PlistPtr status = read_dictionary(bytes);
    if (!status) {
        return std::nullopt;
    }
    LastStatus last;
    plist_t state = plist_dict_get_item(status.get(), "SnapshotState");
    last.finished = state && plist_get_node_type(state) == PLIST_STRING &&
                    plist_string_val_compare(state, "finished") == 0;
    last.date = unix_seconds_of(plist_dict_get_item(status.get(), "Date"));
    return last;
}

std::string random_uuid() {
    uint8_t bytes[16];
    RAND_bytes(bytes, sizeof bytes);
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

bool is_safe_identifier(const std::string &name) {
    if (name.empty() || name.size() > 64) {
        return false;
    }
    for (char c : name) {
        const bool ok =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace tarvosim
