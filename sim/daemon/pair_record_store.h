/*
 * The simulated daemon's state folder: one binary plist per pair record,
 * DIR/<record id>.plist, and DIR/SystemConfiguration.plist holding the
 * system BUID. Files are replaced atomically (temp file + rename) with mode
 * 0600. Safe to use from several threads at once.
 */
#ifndef TARVO_SIM_PAIR_RECORD_STORE_H
#define TARVO_SIM_PAIR_RECORD_STORE_H

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvosim {

enum class StoreStatus {
    kOk,
    kInvalidId,  // the record id could escape the folder or name a hidden file
    kNotFound,
    kInvalidData,  // the bytes to save are not a plist dictionary
    kIoError,
};

class PairRecordStore {
  public:
    /// Larger pair records are neither saved nor read.
    static constexpr std::size_t kMaxRecordSize = 1024 * 1024;

    explicit PairRecordStore(std::string dir) : dir_(std::move(dir)) {}

    const std::string &dir() const { return dir_; }

    /// Creates the folder (mode 0700) if it does not exist yet.
    bool ensure_dir() const;

    /// An id names a file in this folder and nothing else: not empty, no "/",
    /// no "..", no NUL, and no leading "." (hidden files, the store's own temp
    /// files among them).
    static bool is_valid_record_id(std::string_view id);

    /// Returns the stored bytes as they are on disk, without parsing them.
    StoreStatus read(std::string_view id, std::vector<uint8_t> *data) const;
    /// Accepts any plist encoding of a dictionary and stores it as binary.
    StoreStatus save(std::string_view id, std::span<const uint8_t> data);
    StoreStatus remove(std::string_view id);

    /// The system BUID: read from SystemConfiguration.plist, or generated as
    /// an upper-case UUID and written there on first use. Empty on I/O failure.
    std::string system_buid();

  private:
    std::string record_path(std::string_view id) const;

    std::string dir_;
    mutable std::mutex mutex_;
};

/// Writes `data` to `path` through a temp file in the same folder and a
/// rename, so readers see either the old or the new file. Mode 0600.
bool write_file_atomically(const std::string &path, std::span<const uint8_t> data);

/// A random (version 4) UUID in upper case, 8-4-4-4-12.
std::string generate_upper_uuid();

}  // namespace tarvosim

#endif
