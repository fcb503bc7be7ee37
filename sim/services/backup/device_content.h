/*
 * The device's content, by domain: STATE/devices/<UDID>/content/<Domain>/
 * <relative path>, made at first use as a copy of the fixture's content/
 * folder (so tests and demos may change, add and delete the device's
 * files between runs, and runs never change the fixture). Backups read
 * it; restores write into it. Paths from a backup are hostile: they never
 * leave the content folder, and no symbolic link on the way is followed.
 */
#ifndef TARVO_SIM_DEVICE_CONTENT_H
#define TARVO_SIM_DEVICE_CONTENT_H

#include <mutex>
#include <string>
#include <string_view>

#include "content_entry.h"

namespace tarvosim {

inline constexpr const char *kContentFolder = "content";

class DeviceContent {
  public:
    /// `root`: the content folder in the device's state folder.
    explicit DeviceContent(std::string root) : root_(std::move(root)) {}

    /// Makes the folder from FIXTURE_DIR/content when it does not exist yet
    /// (empty when the fixture has none). False with *error when that fails.
    bool prepare(const std::string &fixture_dir, std::string *error);

    /// Every entry, domain by domain in name order, each folder before
    /// what it holds, names in byte order. False when the visitor stopped.
    bool walk(const EntryVisitor &visit) const;

    /// Where an entry of a backup lives in the content folder, with its
    /// parent folders made: "" when the domain or path is refused (an empty,
    /// "." or ".." part, a NUL, a domain holding "/", or a symbolic link or
    /// non-folder on the way).
    std::string place_for(std::string_view domain, std::string_view relative_path) const;

    /// The entry's current path without making anything; "" when refused.
    std::string existing_path(std::string_view domain, std::string_view relative_path) const;

    const std::string &root() const { return root_; }

  private:
    std::string root_;
    mutable std::mutex mutex_;  // guards the first copy
    bool prepared_ = false;
};

/// A regular file's content in order (links are not followed); null when
/// it cannot be opened.
std::unique_ptr<ContentReader> open_content_file(const std::string &path);

/// Whether `domain` is a plain domain name (no "/", not "." or "..", no NUL).
bool is_safe_domain(std::string_view domain);
/// Whether every part of `path` is a plain name ("" is the domain itself).
bool is_safe_relative_path(std::string_view path);

}  // namespace tarvosim

#endif
