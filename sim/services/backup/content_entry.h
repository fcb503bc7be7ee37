/*
 * One item of a device's content as the backup engine sees it: a file, a
 * folder or a symbolic link of a domain, with the metadata a backup keeps,
 * and a way to read a file's bytes in order. The content folder and the
 * synthetic content both yield these.
 */
#ifndef TARVO_SIM_CONTENT_ENTRY_H
#define TARVO_SIM_CONTENT_ENTRY_H

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace tarvosim {

/// The Files.flags of a backup manifest.
enum class EntryKind : uint64_t { kFile = 1, kDirectory = 2, kSymlink = 4 };

/// Reads a file's content in order: fills all of `out` with the next
/// bytes; false when the content cannot be read.
class ContentReader {
  public:
    virtual ~ContentReader() = default;
    virtual bool read(std::span<uint8_t> out) = 0;
};

struct ContentEntry {
    std::string domain;
    std::string relative_path;  // "" for the domain's own folder
    EntryKind kind = EntryKind::kFile;
    uint64_t size = 0;
    uint32_t mode = 0;  // st_mode, type bits included
    uint32_t user_id = 501;
    uint32_t group_id = 501;
    uint64_t inode = 0;
    int64_t birth = 0;
    int64_t last_modified = 0;
    int64_t last_status_change = 0;
    uint64_t protection_class = 3;
    std::string link_target;
    /// Opens the file's content; null for folders and links, or when the
    /// file cannot be opened.
    std::function<std::unique_ptr<ContentReader>()> open;
};

/// Called for each entry in turn; false stops the walk.
using EntryVisitor = std::function<bool(const ContentEntry &entry)>;

}  // namespace tarvosim

#endif
