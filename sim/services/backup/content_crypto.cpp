/*
 * Encrypting reads and decrypting writes of backup content.
 */
#include "content_crypto.h"

#include "host_files.h"
#include "write_all.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace tarvosim {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

/// Fills each read from the cipher's output, pulling plain bytes as needed.
class EncryptingReader : public ContentReader {
  public:
    EncryptingReader(std::unique_ptr<ContentReader> plain, uint64_t plain_size)
        : plain_(std::move(plain)), left_(plain_size) {}

    bool start(const tarvo::BackupKey &key) {
        return cipher_.start(key, tarvo::CipherDirection::kEncrypt) ==
               tarvo::BackupCryptoResult::kOk;
    }

    bool read(std::span<uint8_t> out) override {
        while (out.size() > pending_.size() - offset_) {
            if (finished_ || !refill()) {
                return false;
            }
        }
        std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(offset_), out.size(),
                    out.begin());
        offset_ += out.size();
        return true;
    }

  private:
    bool refill() {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
        if (left_ == 0) {
            finished_ = true;
            return cipher_.finish(pending_) == tarvo::BackupCryptoResult::kOk;
        }
        buffer_.resize(static_cast<std::size_t>(std::min<uint64_t>(left_, kChunk)));
        if (!plain_ || !plain_->read(buffer_)) {
            return false;
        }
        left_ -= buffer_.size();
        return cipher_.update(buffer_, pending_) == tarvo::BackupCryptoResult::kOk;
    }

    std::unique_ptr<ContentReader> plain_;
    uint64_t left_;
    tarvo::ContentCipher cipher_;
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> pending_;
    std::size_t offset_ = 0;
    bool finished_ = false;
};

}  // namespace

uint64_t cipher_size_of(uint64_t plain_size) {
    return (plain_size / 16 + 1) * 16;
}

std::unique_ptr<ContentReader> encrypting_reader(std::unique_ptr<ContentReader> plain,
                                                 uint64_t plain_size, const tarvo::BackupKey &key) {
    auto reader = std::make_unique<EncryptingReader>(std::move(plain), plain_size);
    if (!reader->start(key)) {
        return nullptr;
    }
    return reader;
}

DecryptingFile::DecryptingFile(const std::string &local, const tarvo::BackupKey &key,
                               std::optional<uint64_t> plain_size)
    : local_(local), plain_size_(plain_size) {
    fd_ = create_download_file(local);
    started_ =
        cipher_.start(key, tarvo::CipherDirection::kDecrypt) == tarvo::BackupCryptoResult::kOk;
}

DecryptingFile::~DecryptingFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool DecryptingFile::write_out() {
    written_ += plain_.size();
    const bool done = (!plain_size_ || written_ <= *plain_size_) && write_all(fd_, plain_);
    plain_.clear();
    return done;
}

ContentSink DecryptingFile::sink() {
    return [this](std::span<const uint8_t> bytes) {
        if (cipher_.update(bytes, plain_) != tarvo::BackupCryptoResult::kOk || !write_out()) {
            return StreamStatus::failed("the device cannot decrypt into " + local_);
        }
        return StreamStatus::ok();
    };
}

std::string DecryptingFile::finish() {
    const tarvo::BackupCryptoResult result = cipher_.finish(plain_);
    if (result != tarvo::BackupCryptoResult::kOk) {
        return std::string("the content does not decrypt (") + tarvo::to_string(result) + ")";
    }
    if (!write_out()) {
        return "the device cannot write " + local_;
    }
    if (plain_size_ && written_ != *plain_size_) {
        return "the content holds " + std::to_string(written_) + " bytes, its record says " +
               std::to_string(*plain_size_);
    }
    return "";
}

}  // namespace tarvosim
