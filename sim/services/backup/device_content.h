/*
 * The device's content, by domain: STATE/devices/<UDID>/content/<Domain>/
 * <relative path>, made at first use as a copy of the fixture's content/
 * folder (so tests and demos may change, add and delete the device's
 * files between runs, and runs never change the fixture). Backups read
 * it; restores write into it. Paths from a backup are hostile: they never
 * leave the content folder, and no symbolic link on the way is followed.
 *
 * A fixture with SyntheticContent adds entries made from a seed
 * (synthetic_content.h) below the folder's: the device's content is the
 * synthetic entries overlaid by the content folder (the folder's entry wins
 * where both have one, and a non-folder there hides what the synthetic
 * tree holds below it), less the synthetic entries removed since
 * (removed_entries.h). Restores write real files into the folder, so only
 * what they touch is ever stored. The generation, which picks the
 * synthetic files' versions, is read from STATE/devices/<UDID>/synthetic/
 * generation when a backup or restore begins.
 */
#ifndef TARVO_SIM_DEVICE_CONTENT_H
#define TARVO_SIM_DEVICE_CONTENT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

#include "content_entry.h"

namespace tarvosim {

inline constexpr const char *kContentFolder = "content";
/// Beside the content folder: the generation file and the record of
/// removed synthetic entries.
inline constexpr const char *kSyntheticStateFolder = "synthetic";
inline constexpr const char *kGenerationFile = "generation";
inline constexpr const char *kRemovedEntriesFile = "removed.db";
inline constexpr uint64_t kMaxGeneration = 0xFFFFFFFF;

struct SyntheticContent;
class RemovedEntries;
class SyntheticTree;

class DeviceContent {
  public:
    /// `root`: the content folder in the device's state folder;
    /// `synthetic`: the fixture's synthetic content, null for none.
    explicit DeviceContent(std::string root,
                           std::shared_ptr<const SyntheticContent> synthetic = nullptr);
    ~DeviceContent();
    DeviceContent(const DeviceContent &) = delete;
    DeviceContent &operator=(const DeviceContent &) = delete;

    /// Makes the folder from FIXTURE_DIR/content when it does not exist yet
    /// (empty when the fixture has none), and reads the generation (0 when
    /// its file is absent). False with *error when either fails.
    bool prepare(const std::string &fixture_dir, std::string *error);

    /// Every entry, domain by domain in name order, each folder before
    /// what it holds, names in byte order. False when the visitor stopped.
    /// Memory does not grow with the number of entries.
    bool walk(const EntryVisitor &visit) const;

    /// The content of the file entry at `relative_path` of `domain`, from
    /// the folder or the synthetic tree as the walk shows it; null when
    /// there is no such file or it cannot be opened.
    std::unique_ptr<ContentReader> open(std::string_view domain,
                                        std::string_view relative_path) const;

    /// Removes the entry and all it holds, from the folder and from the
    /// synthetic tree. Returns how many entries went: those of the folder,
    /// and one for a synthetic entry now hidden (what it holds goes
    /// uncounted). A refused path removes nothing and is no failure.
    uint64_t remove(std::string_view domain, std::string_view relative_path,
                    std::error_code &failed);

    /// The generation read by the last prepare().
    uint64_t generation() const { return generation_; }

    /// Where an entry of a backup lives in the content folder, with its
    /// parent folders made: "" when the domain or path is refused (an empty,
    /// "." or ".." part, a NUL, a domain holding "/", or a symbolic link or
    /// non-folder on the way).
    std::string place_for(std::string_view domain, std::string_view relative_path) const;

    /// The entry's current path without making anything; "" when refused.
    std::string existing_path(std::string_view domain, std::string_view relative_path) const;

    const std::string &root() const { return root_; }

  private:
    bool read_generation(std::string *error);
    bool synthetic_visible(std::string_view domain, std::string_view relative_path) const;
    bool walk_overlaid(const EntryVisitor &visit) const;

    std::string root_;
    std::string synthetic_state_;                // the folder of the generation and the record
    std::unique_ptr<const SyntheticTree> tree_;  // null without synthetic content
    std::atomic<uint64_t> generation_{0};
    mutable std::mutex mutex_;  // guards the first copy
    bool prepared_ = false;
    mutable std::mutex removed_mutex_;  // guards the record's connection
    mutable std::unique_ptr<RemovedEntries> removed_;
    mutable bool removed_absent_ = false;  // no record yet: nothing was removed
};

/// A regular file's content in order (links are not followed); null when
/// it cannot be opened.
std::unique_ptr<ContentReader> open_content_file(const std::string &path);

}  // namespace tarvosim

#endif
