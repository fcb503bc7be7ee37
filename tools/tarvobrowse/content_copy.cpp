// Copying and decrypting content files, checked against the manifest.
#include "content_copy.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "fd_io.h"

namespace browse {
namespace {

constexpr size_t kChunk = 128 * 1024;
constexpr uint64_t kKernelCopyFrom = 1024 * 1024;

bool write_all(int fd, const uint8_t *data, size_t size, std::string *problem) {
    if (!tarvo::write_whole(fd, data, size)) {
        *problem = std::string("cannot be written: ") + strerror(errno);
        return false;
    }
    return true;
}

// 0 at the end of the file, -1 with `problem` on an error.
ssize_t read_chunk(int fd, uint8_t *buffer, size_t capacity, std::string *problem) {
    while (true) {
        const ssize_t n = ::read(fd, buffer, capacity);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *problem = std::string("the content file cannot be read: ") + strerror(errno);
        }
        return n;
    }
}

std::string size_problem(uint64_t expected, uint64_t found) {
    return "the content file has " + std::to_string(found) + " bytes where " +
           std::to_string(expected) + " belong";
}

// One buffer for every file of a run: most backup files are small, and a
// buffer made (and zeroed) per file costs more than copying them.
std::vector<uint8_t> &copy_buffer() {
    static std::vector<uint8_t> buffer(kChunk);
    return buffer;
}

// Large files are copied by the kernel within a file system; below that
// size (and where it cannot, as into a pipe) read and write are cheaper
// than its splice set-up.
bool copy_plain(int in_fd, uint64_t size, int out_fd, std::string *problem) {
    uint64_t left = size;
    while (left >= kKernelCopyFrom) {
        const ssize_t n = copy_file_range(in_fd, nullptr, out_fd, nullptr, left, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        left -= static_cast<uint64_t>(n);
    }
    std::vector<uint8_t> &buffer = copy_buffer();
    while (left > 0) {
        const ssize_t n =
            read_chunk(in_fd, buffer.data(), std::min<uint64_t>(buffer.size(), left), problem);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            *problem = "the content file was cut short while it was read";
            return false;
        }
        if (!write_all(out_fd, buffer.data(), static_cast<size_t>(n), problem)) {
            return false;
        }
        left -= static_cast<uint64_t>(n);
    }
    return true;
}

bool copy_decrypted(int in_fd, const tarvo::BackupKey &key, uint64_t size, int out_fd,
                    std::string *problem) {
    tarvo::ContentCipher cipher;
    if (cipher.start(key, tarvo::CipherDirection::kDecrypt) != tarvo::BackupCryptoResult::kOk) {
        *problem = "the cipher cannot start";
        return false;
    }
    std::vector<uint8_t> &in = copy_buffer();
    static std::vector<uint8_t> plain;
    plain.reserve(kChunk + 16);
    uint64_t written = 0;
    while (true) {
        const ssize_t n = read_chunk(in_fd, in.data(), in.size(), problem);
        if (n < 0) {
            return false;
        }
        plain.clear();
        const tarvo::BackupCryptoResult result =
            n == 0 ? cipher.finish(plain) : cipher.update({in.data(), size_t(n)}, plain);
        if (result != tarvo::BackupCryptoResult::kOk) {
            *problem =
                "the content does not decrypt (bad padding: corrupt, or a key from "
                "elsewhere)";
            return false;
        }
        written += plain.size();
        if (written > size || !write_all(out_fd, plain.data(), plain.size(), problem)) {
            *problem =
                written > size ? "the content decrypts to more than the manifest's size" : *problem;
            return false;
        }
        if (n == 0) {
            break;
        }
    }
    if (written != size) {
        *problem = "the content decrypts to " + std::to_string(written) + " bytes where " +
                   std::to_string(size) + " belong";
        return false;
    }
    return true;
}

bool open_file_key(const tarvo::BackupClassKeys &keys, const MbRecord &record,
                   tarvo::BackupKey &key, std::string *problem) {
    if (!record.encryption_key) {
        *problem = "the manifest has no EncryptionKey for it";
        return false;
    }
    uint32_t protection_class = 0;
    const tarvo::BackupCryptoResult opened =
        tarvo::unwrap_class_key_blob(keys, *record.encryption_key, key, protection_class);
    if (opened != tarvo::BackupCryptoResult::kOk) {
        *problem = std::string("its EncryptionKey cannot be opened: ") + tarvo::to_string(opened);
        return false;
    }
    return true;
}

}  // namespace

bool is_file_id(std::string_view file_id) {
    if (file_id.size() != 40) {
        return false;
    }
    for (char c : file_id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

uint64_t encrypted_size_of(uint64_t plain_size) {
    return (plain_size / 16 + 1) * 16;
}

bool copy_content(const BackupFolder &folder, std::string_view file_id, const MbRecord &record,
                  const tarvo::BackupClassKeys *class_keys, int out_fd, std::string *problem) {
    if (!is_file_id(file_id)) {
        *problem = "its fileID is no SHA-1 in hex";
        return false;
    }
    tarvo::BackupKey key;
    if (class_keys && !open_file_key(*class_keys, record, key, problem)) {
        return false;
    }
    const std::string name = std::string(file_id.substr(0, 2)) + "/" + std::string(file_id);
    UniqueFd in(folder.open_member(name));
    if (!in) {
        *problem = errno == ENOENT
                       ? "the content file " + name + " is missing"
                       : "the content file " + name + " cannot be opened: " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *problem = "the content file " + name + " is no regular file";
        return false;
    }
    const uint64_t expected = class_keys ? encrypted_size_of(record.size) : record.size;
    if (static_cast<uint64_t>(st.st_size) != expected) {
        *problem = size_problem(expected, static_cast<uint64_t>(st.st_size));
        return false;
    }
    return class_keys ? copy_decrypted(in.get(), key, record.size, out_fd, problem)
                      : copy_plain(in.get(), record.size, out_fd, problem);
}

}  // namespace browse
