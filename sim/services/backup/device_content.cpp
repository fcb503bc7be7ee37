/*
 * The device's content folder: its first copy, the walk a backup reads,
 * and the checked places a restore writes to.
 */
#include "device_content.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "unique_fd.h"

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

bool walk_folder(const fs::path &folder, const std::string &domain, const std::string &relative,
                 const EntryVisitor &visit) {
    for (const std::string &name : sorted_names(folder)) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        ContentEntry entry;
        if (!entry_of(folder / name, domain, child, &entry)) {
            continue;
        }
        if (!visit(entry)) {
            return false;
        }
        if (entry.kind == EntryKind::kDirectory && !walk_folder(folder / name, domain, child, visit)) {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> parts_of(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        parts.push_back(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return parts;
}

bool is_plain_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('\0') == std::string_view::npos && name.find('/') == std::string_view::npos;
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

bool is_safe_domain(std::string_view domain) {
    return is_plain_name(domain);
}

bool is_safe_relative_path(std::string_view path) {
    if (path.empty()) {
        return true;
    }
    if (path.front() == '/' || path.back() == '/') {
        return false;
    }
    for (std::string_view part : parts_of(path)) {
        if (!is_plain_name(part)) {
            return false;
        }
    }
    return true;
}

bool DeviceContent::prepare(const std::string &fixture_dir, std::string *error) {
    std::lock_guard lock(mutex_);
    if (prepared_) {
        return true;
    }
    std::error_code failure;
    if (!fs::is_directory(root_, failure)) {
        // Copied aside and renamed into place, so a copy cut short is never
        // taken for the device's content.
        const std::string partial = root_ + ".partial";
        fs::remove_all(partial, failure);
        const fs::path source = fs::path(fixture_dir) / kContentFolder;
        failure.clear();
        if (fs::is_directory(source, failure)) {
            fs::copy(source, partial, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
                     failure);
        } else {
            failure.clear();
            fs::create_directories(partial, failure);
        }
        if (!failure) {
            fs::rename(partial, root_, failure);
        }
        if (failure) {
            *error = root_ + ": cannot make the device's content: " + failure.message();
            return false;
        }
    }
    prepared_ = true;
    return true;
}

bool DeviceContent::walk(const EntryVisitor &visit) const {
    for (const std::string &domain : sorted_names(root_)) {
        const fs::path folder = fs::path(root_) / domain;
        ContentEntry entry;
        if (!is_safe_domain(domain) || !entry_of(folder, domain, "", &entry) ||
            entry.kind != EntryKind::kDirectory) {
            continue;
        }
        if (!visit(entry) || !walk_folder(folder, domain, "", visit)) {
            return false;
        }
    }
    return true;
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
