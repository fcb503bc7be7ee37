/*
 * The device's content folder: its first copy, the walk a backup reads,
 * and the checked places a restore writes to; and the overlay of the
 * folder on the synthetic content: the merged walk, opening and removing.
 */
#include "device_content.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "content_paths.h"
#include "fixture_copy.h"
#include "removed_entries.h"
#include "synthetic_content.h"
#include "unique_fd.h"
#include "walk_order.h"

namespace tarvosim {
namespace {

namespace fs = std::filesystem;

class FileReader : public ContentReader {
  public:
    explicit FileReader(UniqueFd fd) : fd_(std::move(fd)) {}
    bool read(std::span<uint8_t> out) override {
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t got = ::read(fd_.get(), out.data() + done, out.size() - done);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;  // an error, or the file shrank under us
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

  private:
    UniqueFd fd_;
};

std::vector<std::string> sorted_names(const fs::path &folder) {
    std::vector<std::string> names;
    std::error_code failure;
    for (fs::directory_iterator it(folder, failure), end; !failure && it != end;
         it.increment(failure)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool entry_of(const fs::path &path, const std::string &domain, const std::string &relative,
              ContentEntry *entry) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    entry->domain = domain;
    entry->relative_path = relative;
    entry->mode = st.st_mode;
    entry->inode = st.st_ino;
    entry->last_modified = st.st_mtime;
    entry->last_status_change = st.st_ctime;
    entry->birth = st.st_mtime;
    entry->size = 0;
    entry->link_target.clear();
    entry->open = nullptr;
    if (S_ISDIR(st.st_mode)) {
        entry->kind = EntryKind::kDirectory;
        entry->protection_class = 4;
    } else if (S_ISLNK(st.st_mode)) {
        std::error_code failure;
        entry->kind = EntryKind::kSymlink;
        entry->link_target = fs::read_symlink(path, failure).string();
        entry->protection_class = 4;
    } else if (S_ISREG(st.st_mode)) {
        entry->kind = EntryKind::kFile;
        entry->size = static_cast<uint64_t>(st.st_size);
        entry->protection_class = 3;
        const std::string file = path.string();
        entry->open = [file] { return open_content_file(file); };
    } else {
        return false;  // sockets, devices and pipes are no content
    }
    return true;
}

/// The content folder's entries in walk order, one at a time; it keeps the
/// names of each folder on the way down, as a recursive walk would.
class FolderCursor {
  public:
    explicit FolderCursor(const std::string &root) : root_(root), domains_(sorted_names(root)) {}

    bool next(ContentEntry *entry) {
        while (!frames_.empty() || next_domain_ < domains_.size()) {
            if (frames_.empty()) {
                if (enter_domain(domains_[next_domain_++], entry)) {
                    return true;
                }
                continue;
            }
            Frame &top = frames_.back();
            if (!top.listed) {
                // Listed when first needed, so a visitor sees each folder
                // before its names are read, as it did in a recursive walk.
                top.names = sorted_names(top.folder);
                top.listed = true;
            }
            if (top.next == top.names.size()) {
                frames_.pop_back();
                continue;
            }
            const std::string &name = top.names[top.next++];
            std::string child = top.relative.empty() ? name : top.relative + "/" + name;
            fs::path path = top.folder / name;
            if (!entry_of(path, domain_, child, entry)) {
                continue;
            }
            if (entry->kind == EntryKind::kDirectory) {
                frames_.push_back(Frame{std::move(path), std::move(child)});
            }
            return true;
        }
        return false;
    }

  private:
    struct Frame {
        fs::path folder;
        std::string relative;
        std::vector<std::string> names = {};
        std::size_t next = 0;
        bool listed = false;
    };

    bool enter_domain(const std::string &domain, ContentEntry *entry) {
        domain_ = domain;
        const fs::path folder = root_ / domain;
        if (!is_safe_domain(domain) || !entry_of(folder, domain, "", entry) ||
            entry->kind != EntryKind::kDirectory) {
            return false;
        }
        frames_.push_back(Frame{folder, ""});
        return true;
    }

    const fs::path root_;
    const std::vector<std::string> domains_;
    std::size_t next_domain_ = 0;
    std::string domain_;
    std::vector<Frame> frames_;
};

/// The synthetic entries that the record of removals leaves.
class VisibleSynthetic {
  public:
    VisibleSynthetic(const SyntheticTree &tree, uint64_t generation, RemovedEntries *record)
        : walk_(tree, generation), removed_(record ? record->in_walk_order() : nullptr) {}

    bool next(ContentEntry *entry) {
        while (walk_.next(entry)) {
            if (!removed_ ||
                !removed_->covers(walk_order_key(entry->domain, entry->relative_path))) {
                return true;
            }
        }
        return false;
    }
    bool reads_record() const { return removed_ != nullptr; }

  private:
    SyntheticWalk walk_;
    std::unique_ptr<RemovedEntries::InWalkOrder> removed_;
};

/// Whether `entry` lies below the entry (domain, path), not at it.
bool lies_below(const ContentEntry &entry, const std::string &domain, const std::string &path) {
    return entry.domain == domain && entry.relative_path.size() > path.size() &&
           entry.relative_path.starts_with(path) && entry.relative_path[path.size()] == '/';
}

/// What the content folder has at a checked path, as the walk sees it.
enum class FolderHolds {
    kNothing,  // no entry there or on the way: a synthetic entry may show
    kFile,     // a regular file, at *path
    kOther,    // a folder or a link there, or a non-folder on the way
};

FolderHolds folder_holds(const std::string &root, std::string_view domain,
                         std::string_view relative_path, std::string *path) {
    std::string at = root + "/" + std::string(domain);
    const std::vector<std::string_view> parts = parts_of(relative_path);
    for (std::size_t i = 0;; ++i) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0) {
            return FolderHolds::kNothing;
        }
        const bool is_domain = i == 0;
        if (i == parts.size()) {
            *path = at;
            if (is_domain) {
                return S_ISDIR(st.st_mode) ? FolderHolds::kOther : FolderHolds::kNothing;
            }
            if (S_ISREG(st.st_mode)) {
                return FolderHolds::kFile;
            }
            return S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode) ? FolderHolds::kOther
                                                              : FolderHolds::kNothing;
        }
        if (!S_ISDIR(st.st_mode)) {
            // The walk takes no non-folder for a domain, and shows no
            // socket or device: those hide nothing.
            const bool hides = !is_domain && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
            return hides ? FolderHolds::kOther : FolderHolds::kNothing;
        }
        at += "/" + std::string(parts[i]);
    }
}

/// A decimal number alone on its line, blanks around it allowed.
std::optional<uint64_t> generation_in(const std::string &text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    uint64_t value = 0;
    std::size_t digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
        if (value > kMaxGeneration) {
            return std::nullopt;
        }
    }
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    return digits > 0 && at == text.size() ? std::optional<uint64_t>(value) : std::nullopt;
}

/// Whether `path` is a real folder (not a link), making it when `make`.
bool folder_on_the_way(const std::string &path, bool make) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    return make && errno == ENOENT && ::mkdir(path.c_str(), 0755) == 0;
}

std::string checked_path(const std::string &root, std::string_view domain,
                         std::string_view relative_path, bool make) {
    if (!is_safe_domain(domain) || !is_safe_relative_path(relative_path)) {
        return {};
    }
    std::string path = root + "/" + std::string(domain);
    const std::vector<std::string_view> parts = parts_of(relative_path);
    if (!folder_on_the_way(path, make) && !parts.empty()) {
        return {};
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0 && !folder_on_the_way(path, make)) {
            return {};
        }
        path += "/" + std::string(parts[i]);
    }
    return path;
}

}  // namespace

std::unique_ptr<ContentReader> open_content_file(const std::string &path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return fd ? std::make_unique<FileReader>(std::move(fd)) : nullptr;
}

DeviceContent::DeviceContent(std::string root, std::shared_ptr<const SyntheticContent> synthetic)
    : root_(std::move(root)),
      synthetic_state_((fs::path(root_).parent_path() / kSyntheticStateFolder).string()),
      tree_(synthetic ? std::make_unique<SyntheticTree>(std::move(synthetic)) : nullptr) {}

DeviceContent::~DeviceContent() = default;

bool DeviceContent::prepare(const std::string &fixture_dir, std::string *error) {
    std::lock_guard lock(mutex_);
    if (!prepared_ && !copy_fixture_folder(root_, fs::path(fixture_dir) / kContentFolder,
                                           "the device's content", error)) {
        return false;
    }
    prepared_ = true;
    {
        // Each request reads the record afresh (tests delete it to start over).
        std::lock_guard record_lock(removed_mutex_);
        removed_.reset();
        removed_absent_ = false;
    }
    return read_generation(error);
}

bool DeviceContent::read_generation(std::string *error) {
    if (!tree_) {
        return true;
    }
    const std::string file = synthetic_state_ + "/" + kGenerationFile;
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) {
        generation_ = 0;
        return true;
    }
    // A generation is a short line; more is not what a bench wrote.
    std::string text(64, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    const std::optional<uint64_t> generation = in.eof() ? generation_in(text) : std::nullopt;
    if (!generation) {
        *error =
            file + ": must hold a generation number from 0 to " + std::to_string(kMaxGeneration);
        return false;
    }
    generation_ = *generation;
    return true;
}

bool DeviceContent::walk(const EntryVisitor &visit) const {
    if (tree_) {
        return walk_overlaid(visit);
    }
    FolderCursor folder(root_);
    ContentEntry entry;
    while (folder.next(&entry)) {
        if (!visit(entry)) {
            return false;
        }
    }
    return true;
}

bool DeviceContent::walk_overlaid(const EntryVisitor &visit) const {
    std::string error;
    const std::unique_ptr<RemovedEntries> record =
        RemovedEntries::open(synthetic_state_ + "/" + kRemovedEntriesFile, false, &error);
    VisibleSynthetic synthetic(*tree_, generation_, record.get());
    if (!error.empty() || (record && !synthetic.reads_record())) {
        return false;  // showing removed entries again would be worse
    }
    FolderCursor folder(root_);
    ContentEntry real;
    ContentEntry made;
    bool has_real = folder.next(&real);
    bool has_made = synthetic.next(&made);
    // The folder's last non-folder: the synthetic entries below it are hidden.
    std::string hiding_domain;
    std::string hiding_path;
    while (has_real || has_made) {
        const int order = !has_real   ? 1
                          : !has_made ? -1
                                      : compare_walk_order(real.domain, real.relative_path,
                                                           made.domain, made.relative_path);
        if (order > 0) {
            if (!lies_below(made, hiding_domain, hiding_path) && !visit(made)) {
                return false;
            }
            has_made = synthetic.next(&made);
            continue;
        }
        if (order == 0) {
            has_made = synthetic.next(&made);  // the folder's entry wins
        }
        if (real.kind != EntryKind::kDirectory) {
            hiding_domain = real.domain;
            hiding_path = real.relative_path;
        }
        if (!visit(real)) {
            return false;
        }
        has_real = folder.next(&real);
    }
    return true;
}

bool DeviceContent::synthetic_visible(std::string_view domain,
                                      std::string_view relative_path) const {
    std::lock_guard lock(removed_mutex_);
    if (!removed_ && !removed_absent_) {
        // Looked for once per request, not once per file: only remove()
        // makes the record, and it keeps the record open when it does.
        std::string error;
        removed_ =
            RemovedEntries::open(synthetic_state_ + "/" + kRemovedEntriesFile, false, &error);
        if (!removed_) {
            removed_absent_ = error.empty();
            return removed_absent_;  // nothing was ever removed, or the record is unreadable
        }
    }
    return !removed_ || !removed_->covers(domain, relative_path);
}

std::unique_ptr<ContentReader> DeviceContent::open(std::string_view domain,
                                                   std::string_view relative_path) const {
    if (!is_safe_domain(domain) || !is_safe_relative_path(relative_path)) {
        return nullptr;
    }
    std::string path;
    switch (folder_holds(root_, domain, relative_path, &path)) {
        case FolderHolds::kFile:
            return open_content_file(path);
        case FolderHolds::kOther:
            return nullptr;
        case FolderHolds::kNothing:
            break;
    }
    if (!tree_ || !synthetic_visible(domain, relative_path)) {
        return nullptr;
    }
    std::optional<ContentEntry> entry = tree_->find(domain, relative_path, generation_);
    return entry && entry->kind == EntryKind::kFile ? entry->open() : nullptr;
}

uint64_t DeviceContent::remove(std::string_view domain, std::string_view relative_path,
                               std::error_code &failed) {
    failed.clear();
    if (!is_safe_domain(domain) || !is_safe_relative_path(relative_path)) {
        return 0;
    }
    uint64_t removed = 0;
    if (const std::string path = existing_path(domain, relative_path); !path.empty()) {
        const std::uintmax_t gone = fs::remove_all(path, failed);
        if (failed) {
            return 0;
        }
        removed += gone;
    }
    if (!tree_ || !tree_->find(domain, relative_path, generation_)) {
        return removed;
    }
    std::lock_guard lock(removed_mutex_);
    std::string error;
    if (!removed_) {
        fs::create_directories(synthetic_state_, failed);
        removed_ = failed ? nullptr
                          : RemovedEntries::open(synthetic_state_ + "/" + kRemovedEntriesFile, true,
                                                 &error);
    }
    bool added = false;
    if (!removed_ || !removed_->add(domain, relative_path, &added, &error)) {
        failed = std::make_error_code(std::errc::io_error);
        return removed;
    }
    return removed + (added ? 1 : 0);
}

std::string DeviceContent::place_for(std::string_view domain,
                                     std::string_view relative_path) const {
    return checked_path(root_, domain, relative_path, true);
}

std::string DeviceContent::existing_path(std::string_view domain,
                                         std::string_view relative_path) const {
    return checked_path(root_, domain, relative_path, false);
}

}  // namespace tarvosim
