/*
 * The device's side of encrypted content: a reader that turns a file's
 * plain bytes into the AES-256-CBC stream a backup stores, and a sink
 * that turns a downloaded stream back into plain bytes. Both stream
 * through a fixed buffer, so files of any size cost the same memory.
 */
#ifndef TARVO_SIM_CONTENT_CRYPTO_H
#define TARVO_SIM_CONTENT_CRYPTO_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "backup_crypto.h"
#include "content_entry.h"
#include "file_stream.h"

namespace tarvosim {

/// The size on the host of `plain_size` bytes once encrypted (PKCS#7
/// always pads, so a whole block is added to an aligned size).
uint64_t cipher_size_of(uint64_t plain_size);

/// The ciphertext of the `plain_size` bytes `plain` gives, under `key`.
/// Null when the cipher cannot start.
std::unique_ptr<ContentReader> encrypting_reader(std::unique_ptr<ContentReader> plain,
                                                 uint64_t plain_size, const tarvo::BackupKey &key);

/// Receives a downloaded ciphertext and writes the plain bytes to a local
/// file (made anew, 0600). finish() checks the padding and, when
/// `plain_size` is known, that exactly that many bytes came out.
class DecryptingFile {
  public:
    DecryptingFile(const std::string &local, const tarvo::BackupKey &key,
                   std::optional<uint64_t> plain_size);
    ~DecryptingFile();
    DecryptingFile(const DecryptingFile &) = delete;
    DecryptingFile &operator=(const DecryptingFile &) = delete;

    bool ok() const { return fd_ >= 0 && started_; }
    /// The download's sink; fails the stream when the file cannot be written.
    ContentSink sink();
    /// After the download: "" when the content was whole, else what was wrong.
    std::string finish();

  private:
    bool write_out();

    std::string local_;
    int fd_ = -1;
    bool started_ = false;
    std::optional<uint64_t> plain_size_;
    uint64_t written_ = 0;
    tarvo::ContentCipher cipher_;
    std::vector<uint8_t> plain_;
};

}  // namespace tarvosim

#endif
