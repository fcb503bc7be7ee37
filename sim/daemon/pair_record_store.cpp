/*
 * File-backed pair records and system BUID of the simulated daemon.
 */
#include "pair_record_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "owners.h"
#include "plist_items.h"
#include "plist_untrusted.h"
#include "unique_fd.h"

namespace tarvosim {
namespace {

constexpr const char *kSystemConfigurationFile = "SystemConfiguration.plist";
constexpr const char *kSystemBuidKey = "SystemBUID";

enum class ReadOutcome { kOk, kMissing, kFailed };

ReadOutcome read_whole_file(const std::string &path, std::size_t max_size,
                            std::vector<uint8_t> *out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {
        return errno == ENOENT ? ReadOutcome::kMissing : ReadOutcome::kFailed;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) > max_size) {
        return ReadOutcome::kFailed;
    }
    std::vector<uint8_t> bytes(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return ReadOutcome::kFailed;  // error, or the file shrank under us
        }
        done += static_cast<std::size_t>(n);
    }
    *out = std::move(bytes);
    return ReadOutcome::kOk;
}

bool write_all(int fd, std::span<const uint8_t> data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// Records to save come from clients, and the configuration file may have
// been edited by anyone: both get the checks of device messages.
PlistPtr parse_plist(std::span<const uint8_t> bytes) {
    return PlistPtr(tarvo::plist_from_untrusted_memory(bytes));
}

std::vector<uint8_t> to_binary(plist_t node) {
    char *bin = nullptr;
    uint32_t size = 0;
    plist_to_bin(node, &bin, &size);
    MallocPtr<char> owner(bin);
    if (!bin || size == 0) {
        return {};
    }
    return std::vector<uint8_t>(bin, bin + size);
}

std::vector<uint8_t> to_xml(plist_t node) {
    char *xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(node, &xml, &size);
    CString owner(xml);
    if (!xml || size == 0) {
        return {};
    }
    return std::vector<uint8_t>(xml, xml + size);
}

}  // namespace

bool write_file_atomically(const std::string &path, std::span<const uint8_t> data) {
    const std::size_t slash = path.rfind('/');
    const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    // A leading "." keeps the temp file out of listings of "*.plist" records.
    std::string temp_path = path.substr(0, name_start) + "." + path.substr(name_start) + ".XXXXXX";
    UniqueFd fd(::mkstemp(temp_path.data()));
    if (!fd) {
        return false;
    }
    bool ok = ::fchmod(fd.get(), 0600) == 0 && write_all(fd.get(), data) && ::fsync(fd.get()) == 0;
    ok = ::close(fd.release()) == 0 && ok;
    if (!ok || ::rename(temp_path.c_str(), path.c_str()) != 0) {
        ::unlink(temp_path.c_str());
        return false;
    }
    return true;
}

std::string generate_upper_uuid() {
    std::random_device source;
    uint8_t bytes[16];
    for (auto &byte : bytes) {
        byte = static_cast<uint8_t>(source());
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

bool PairRecordStore::ensure_dir() const {
    if (::mkdir(dir_.c_str(), 0700) == 0) {
        return true;
    }
    struct stat st {};
    return errno == EEXIST && ::stat(dir_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PairRecordStore::is_valid_record_id(std::string_view id) {
    return !id.empty() && id.front() != '.' && id.find('/') == std::string_view::npos &&
           id.find("..") == std::string_view::npos && id.find('\0') == std::string_view::npos;
}

std::string PairRecordStore::record_path(std::string_view id) const {
    std::string path = dir_;
    path += '/';
    path += id;
    path += ".plist";
    return path;
}

StoreStatus PairRecordStore::read(std::string_view id, std::vector<uint8_t> *data) const {
    if (!is_valid_record_id(id)) {
        return StoreStatus::kInvalidId;
    }
    std::lock_guard lock(mutex_);
    switch (read_whole_file(record_path(id), kMaxRecordSize, data)) {
        case ReadOutcome::kOk:
            // An empty file holds no record; it is reported as unreadable.
            return data->empty() ? StoreStatus::kIoError : StoreStatus::kOk;
        case ReadOutcome::kMissing:
            return StoreStatus::kNotFound;
        case ReadOutcome::kFailed:
            break;
    }
    return StoreStatus::kIoError;
}

StoreStatus PairRecordStore::save(std::string_view id, std::span<const uint8_t> data) {
    if (!is_valid_record_id(id)) {
        return StoreStatus::kInvalidId;
    }
    if (data.size() > kMaxRecordSize) {
        return StoreStatus::kInvalidData;  // could never be read back
    }
    PlistPtr record = parse_plist(data);
    if (!record || plist_get_node_type(record.get()) != PLIST_DICT) {
        return StoreStatus::kInvalidData;
    }
    std::vector<uint8_t> binary = to_binary(record.get());
    if (binary.empty()) {
        return StoreStatus::kInvalidData;
    }
    std::lock_guard lock(mutex_);
    return write_file_atomically(record_path(id), binary) ? StoreStatus::kOk
                                                          : StoreStatus::kIoError;
}

StoreStatus PairRecordStore::remove(std::string_view id) {
    if (!is_valid_record_id(id)) {
        return StoreStatus::kInvalidId;
    }
    std::lock_guard lock(mutex_);
    if (::unlink(record_path(id).c_str()) == 0) {
        return StoreStatus::kOk;
    }
    return errno == ENOENT ? StoreStatus::kNotFound : StoreStatus::kIoError;
}

std::string PairRecordStore::system_buid() {
    std::lock_guard lock(mutex_);
    const std::string path = dir_ + "/" + kSystemConfigurationFile;
    std::vector<uint8_t> bytes;
    PlistPtr config;
    switch (read_whole_file(path, kMaxRecordSize, &bytes)) {
        case ReadOutcome::kOk:
            config = parse_plist(bytes);
            break;
        case ReadOutcome::kMissing:
            break;
        case ReadOutcome::kFailed:
            return {};
    }
    if (config && plist_get_node_type(config.get()) == PLIST_DICT) {
        std::string buid = tarvo::string_item(config.get(), kSystemBuidKey).value_or("");
        if (!buid.empty()) {
            return buid;
        }
    } else {
        // Missing or unreadable as a dictionary: start afresh rather than
        // refuse to work, the BUID is all this file is for.
        config.reset(plist_new_dict());
    }
    std::string buid = generate_upper_uuid();
    plist_dict_set_item(config.get(), kSystemBuidKey, plist_new_string(buid.c_str()));
    std::vector<uint8_t> xml = to_xml(config.get());
    if (xml.empty() || !write_file_atomically(path, xml)) {
        return {};
    }
    return buid;
}

}  // namespace tarvosim
