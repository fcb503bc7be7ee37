/*
 * The file-conduit service: packet loop, operations on the device's media
 * folder, and the rules that keep every path inside it.
 */
#include "afc_service.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "afc_packet.h"
#include "fixture_copy.h"
#include "plist_items.h"
#include "unique_fd.h"

namespace tarvosim {
namespace {

constexpr auto kIdleWait = std::chrono::minutes(30);
constexpr auto kPacketWait = std::chrono::seconds(10);
constexpr std::size_t kMaxPathLength = 4096;
constexpr uint64_t kMaxReadLength = 4 * 1024 * 1024;
// Open files per connection; a host that leaks handles gets "no resources".
constexpr std::size_t kMaxHandles = 256;

// flock's own values, which AFC lock requests use as they are.
constexpr uint64_t kLockShared = LOCK_SH | LOCK_NB;
constexpr uint64_t kLockExclusive = LOCK_EX | LOCK_NB;
constexpr uint64_t kLockRelease = LOCK_UN | LOCK_NB;

struct DirCloser {
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

uint64_t status_from_errno(int error) {
    switch (error) {
        case 0:
            return afc_status::kSuccess;
        case ENOENT:
        case ENOTDIR:
            return afc_status::kNotFound;
        case EISDIR:
            return afc_status::kIsDirectory;
        case EACCES:
        case EPERM:
        case EROFS:
        case ELOOP:
            return afc_status::kPermissionDenied;
        case EBADF:
        case EINVAL:
        case ENAMETOOLONG:
            return afc_status::kInvalidArgument;
        case EEXIST:
            return afc_status::kExists;
        case ENOSPC:
        case EDQUOT:
            return afc_status::kNoSpace;
        case EWOULDBLOCK:
            return afc_status::kWouldBlock;
        case EINTR:
            return afc_status::kInterrupted;
        case EMFILE:
        case ENFILE:
        case ENOMEM:
            return afc_status::kNoResources;
        case EIO:
            return afc_status::kIoError;
        default:
            // Devices answer a non-empty folder's removal this way too.
            return afc_status::kUnknownError;
    }
}

bool is_inside(const std::string &real_root, const std::string &real_path) {
    return real_path == real_root ||
           (real_path.size() > real_root.size() && real_path.starts_with(real_root) &&
            (real_root.back() == '/' || real_path[real_root.size()] == '/'));
}

/// Checks one existing-or-not path: absent is fine (*exists false), a path
/// that resolves outside the folder or dangles is refused.
uint64_t check_component(const std::string &real_root, const std::string &path, bool *exists) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            *exists = false;
            return afc_status::kSuccess;
        }
        return status_from_errno(errno);
    }
    *exists = true;
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) {
        // A link to nothing might be followed into a new file anywhere.
        return errno == ENOENT ? afc_status::kPermissionDenied : status_from_errno(errno);
    }
    return is_inside(real_root, resolved) ? afc_status::kSuccess : afc_status::kPermissionDenied;
}

void append_text(std::vector<uint8_t> *out, std::string_view text) {
    out->insert(out->end(), text.begin(), text.end());
    out->push_back(0);
}

const char *file_type_name(mode_t mode) {
    if (S_ISREG(mode)) {
        return "S_IFREG";
    }
    if (S_ISDIR(mode)) {
        return "S_IFDIR";
    }
    if (S_ISLNK(mode)) {
        return "S_IFLNK";
    }
    if (S_ISCHR(mode)) {
        return "S_IFCHR";
    }
    if (S_ISBLK(mode)) {
        return "S_IFBLK";
    }
    if (S_ISFIFO(mode)) {
        return "S_IFIFO";
    }
    return "S_IFSOCK";
}

uint64_t nanoseconds(const statx_timestamp &time) {
    return static_cast<uint64_t>(time.tv_sec) * 1000000000u + time.tv_nsec;
}

/// open() flags of an AFC open mode; nullopt for a mode that does not exist.
std::optional<int> open_flags(uint64_t mode) {
    switch (mode) {
        case 1:  // r
            return O_RDONLY;
        case 2:  // r+
            return O_RDWR;
        case 3:  // w
            return O_WRONLY | O_CREAT | O_TRUNC;
        case 4:  // w+
            return O_RDWR | O_CREAT | O_TRUNC;
        case 5:  // a
            return O_WRONLY | O_CREAT | O_APPEND;
        case 6:  // a+
            return O_RDWR | O_CREAT | O_APPEND;
        default:
            return std::nullopt;
    }
}

bool names_a_path(AfcOperation operation) {
    switch (operation) {
        case AfcOperation::kReadDirectory:
        case AfcOperation::kRemovePath:
        case AfcOperation::kMakeDirectory:
        case AfcOperation::kGetFileInfo:
        case AfcOperation::kFileOpen:
        case AfcOperation::kRenamePath:
        case AfcOperation::kRemovePathAndContents:
            return true;
        default:
            return false;
    }
}

class AfcConnection : public SimService {
  public:
    AfcConnection(const ServiceContext &context, std::shared_ptr<AfcFolder> folder)
        : context_(context), folder_(std::move(folder)) {}

    void serve(ServiceSocket &socket) override {
        std::string error;
        if (!folder_->prepare(context_.fixture.dir, &error)) {
            context_.log.note(context_.name, "connection dropped: " + error);
            return;
        }
        root_ = folder_->real_root();
        for (;;) {
            AfcPacket request;
            const AfcReadStatus status = read_afc_packet(socket, kIdleWait, kPacketWait, &request);
            if (status == AfcReadStatus::kBadHeader) {
                context_.log.note(context_.name, "connection dropped: bad packet header");
            }
            if (status != AfcReadStatus::kOk) {
                return;
            }
            const Reply reply = handle(request);
            if (context_.log.enabled()) {
                context_.log.note(context_.name, describe(request, reply));
            }
            const std::vector<uint8_t> bytes = encode_afc_packet(request.number, reply.operation,
                                                                 reply.header_data, reply.payload);
            if (socket.write_all(bytes, SteadyClock::now() + kPacketWait) != SocketStatus::kOk) {
                return;
            }
        }
    }

  private:
    struct Reply {
        AfcOperation operation = AfcOperation::kStatus;
        std::vector<uint8_t> header_data;
        std::vector<uint8_t> payload;
    };
    using Handler = Reply (AfcConnection::*)(AfcArgs &args, const AfcPacket &request);
    struct Operation {
        AfcOperation code;
        const char *name;
        Handler handler;
    };
    static const Operation kOperations[];

    static Reply status(uint64_t code) {
        Reply reply;
        append_u64le(&reply.header_data, code);
        return reply;
    }
    static Reply data(std::vector<uint8_t> payload) {
        return Reply{AfcOperation::kData, {}, std::move(payload)};
    }

    static const Operation *find_operation(AfcOperation code);

    static std::string describe(const AfcPacket &request, const Reply &reply) {
        const Operation *operation = find_operation(request.operation);
        std::string text =
            "#" + std::to_string(request.number) + " " +
            (operation ? operation->name
                       : "op " + std::to_string(static_cast<uint64_t>(request.operation)));
        std::string path;
        AfcArgs args(request.header_data);
        uint64_t mode = 0;
        if (names_a_path(request.operation) &&
            (request.operation != AfcOperation::kFileOpen || args.u64(&mode)) &&
            args.c_string(&path)) {
            text += " \"" + path + "\"";
        }
        if (reply.operation == AfcOperation::kStatus) {
            AfcArgs code(reply.header_data);
            uint64_t value = 0;
            code.u64(&value);
            return text + " -> status " + std::to_string(value);
        }
        return text + " -> " + std::to_string(reply.header_data.size() + reply.payload.size()) +
               " bytes";
    }

    Reply handle(const AfcPacket &request) {
        const Operation *operation = find_operation(request.operation);
        if (!operation) {
            return status(afc_status::kUnknownPacketType);
        }
        // Writes carry their bytes as payload; every other request is read
        // as header data and payload together, wherever a host put its
        // arguments.
        std::vector<uint8_t> joined = request.header_data;
        if (request.operation != AfcOperation::kFileWrite) {
            joined.insert(joined.end(), request.payload.begin(), request.payload.end());
        }
        AfcArgs args(joined);
        return (this->*operation->handler)(args, request);
    }

    /// Reads a path argument and resolves it; a non-zero status on failure.
    uint64_t path_arg(AfcArgs &args, bool follow_last, std::string *host_path) {
        std::string device_path;
        if (!args.c_string(&device_path)) {
            return afc_status::kInvalidArgument;
        }
        return resolve_afc_path(root_, device_path, follow_last, host_path);
    }

    /// A request's only argument: one path, nothing after it.
    uint64_t only_path_arg(AfcArgs &args, bool follow_last, std::string *host_path) {
        const uint64_t code = path_arg(args, follow_last, host_path);
        return code == afc_status::kSuccess && args.left() != 0 ? afc_status::kInvalidArgument
                                                                : code;
    }

    int handle_fd(uint64_t handle) const {
        auto found = handles_.find(handle);
        return found == handles_.end() ? -1 : found->second.fd.get();
    }

    Reply read_dir(AfcArgs &args, const AfcPacket &) {
        std::string path;
        if (uint64_t code = only_path_arg(args, true, &path)) {
            return status(code);
        }
        DirPtr dir(::opendir(path.c_str()));
        if (!dir) {
            return status(status_from_errno(errno));
        }
        std::vector<std::string> names;
        while (const dirent *entry = ::readdir(dir.get())) {
            names.emplace_back(entry->d_name);
        }
        std::sort(names.begin(), names.end());
        std::vector<uint8_t> payload;
        for (const std::string &name : names) {
            append_text(&payload, name);
        }
        return data(std::move(payload));
    }

    Reply file_info(AfcArgs &args, const AfcPacket &) {
        std::string path;
        if (uint64_t code = only_path_arg(args, false, &path)) {
            return status(code);
        }
        struct statx st {};
        if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                    &st) != 0) {
            return status(status_from_errno(errno));
        }
        const uint64_t born =
            (st.stx_mask & STATX_BTIME) ? nanoseconds(st.stx_btime) : nanoseconds(st.stx_ctime);
        std::vector<uint8_t> payload;
        const std::pair<const char *, std::string> items[] = {
            {"st_size", std::to_string(st.stx_size)},
            {"st_blocks", std::to_string(st.stx_blocks)},
            {"st_nlink", std::to_string(st.stx_nlink)},
            {"st_ifmt", file_type_name(st.stx_mode)},
            {"st_mtime", std::to_string(nanoseconds(st.stx_mtime))},
            {"st_birthtime", std::to_string(born)},
        };
        for (const auto &[name, value] : items) {
            append_text(&payload, name);
            append_text(&payload, value);
        }
        if (S_ISLNK(st.stx_mode)) {
            char target[PATH_MAX];
            const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
            append_text(&payload, "LinkTarget");
            append_text(&payload, std::string_view(target, length > 0 ? length : 0));
        }
        return data(std::move(payload));
    }

    Reply device_info(AfcArgs &, const AfcPacket &) {
        struct statvfs fs {};
        if (::statvfs(root_.c_str(), &fs) != 0) {
            return status(status_from_errno(errno));
        }
        const std::string model =
            tarvo::string_item(context_.fixture.global_domain.get(), "ProductType")
                .value_or("iPhone");
        std::vector<uint8_t> payload;
        const std::pair<const char *, std::string> items[] = {
            {"Model", model},
            {"FSTotalBytes", std::to_string(static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize)},
            {"FSFreeBytes", std::to_string(static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize)},
            {"FSBlockSize", std::to_string(fs.f_bsize)},
        };
        for (const auto &[name, value] : items) {
            append_text(&payload, name);
            append_text(&payload, value);
        }
        return data(std::move(payload));
    }

    /// Makes every missing folder of the path, as devices do; a folder that
    /// is already there is success.
    Reply make_dir(AfcArgs &args, const AfcPacket &) {
        std::string path;
        if (uint64_t code = only_path_arg(args, true, &path)) {
            return status(code);
        }
        for (std::size_t pos = root_.size() + 1; pos <= path.size(); ++pos) {
            if (pos != path.size() && path[pos] != '/') {
                continue;
            }
            const std::string level = path.substr(0, pos);
            if (::mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) {
                return status(status_from_errno(errno));
            }
            struct stat st {};
            bool exists = false;
            if (uint64_t code = check_component(root_, level, &exists)) {
                return status(code);
            }
            if (::stat(level.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                return status(afc_status::kExists);
            }
        }
        return status(afc_status::kSuccess);
    }

    Reply remove_path(AfcArgs &args, const AfcPacket &) {
        std::string path;
        if (uint64_t code = only_path_arg(args, false, &path)) {
            return status(code);
        }
        if (path == root_) {
            return status(afc_status::kPermissionDenied);
        }
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            return status(status_from_errno(errno));
        }
        const int result = S_ISDIR(st.st_mode) ? ::rmdir(path.c_str()) : ::unlink(path.c_str());
        return status(result == 0 ? afc_status::kSuccess : status_from_errno(errno));
    }

    Reply remove_all(AfcArgs &args, const AfcPacket &) {
        std::string path;
        if (uint64_t code = only_path_arg(args, false, &path)) {
            return status(code);
        }
        if (path == root_) {
            return status(afc_status::kPermissionDenied);
        }
        std::error_code error;
        // Links are removed, never followed.
        if (std::filesystem::remove_all(path, error) == 0 && !error) {
            return status(afc_status::kNotFound);
        }
        return status(error ? status_from_errno(error.value()) : afc_status::kSuccess);
    }

    Reply rename_path(AfcArgs &args, const AfcPacket &) {
        std::string from;
        std::string to;
        if (uint64_t code = path_arg(args, false, &from)) {
            return status(code);
        }
        if (uint64_t code = only_path_arg(args, false, &to)) {
            return status(code);
        }
        if (from == root_ || to == root_) {
            return status(afc_status::kPermissionDenied);
        }
        return status(::rename(from.c_str(), to.c_str()) == 0 ? afc_status::kSuccess
                                                              : status_from_errno(errno));
    }

    Reply file_open(AfcArgs &args, const AfcPacket &) {
        uint64_t mode = 0;
        std::optional<int> flags;
        if (!args.u64(&mode) || !(flags = open_flags(mode))) {
            return status(afc_status::kInvalidArgument);
        }
        std::string path;
        if (uint64_t code = only_path_arg(args, true, &path)) {
            return status(code);
        }
        if (handles_.size() >= kMaxHandles) {
            return status(afc_status::kNoResources);
        }
        UniqueFd fd(::open(path.c_str(), *flags | O_CLOEXEC, 0644));
        if (!fd) {
            return status(status_from_errno(errno));
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
            return status(afc_status::kIsDirectory);
        }
        // Known by its inode, so that any path leading to it counts.
        struct stat lock_file {};
        const bool sync_lock = ::stat((root_ + "/" + kSyncLockFile).c_str(), &lock_file) == 0 &&
                               lock_file.st_dev == st.st_dev && lock_file.st_ino == st.st_ino;
        const uint64_t handle = next_handle_++;
        handles_.emplace(handle, OpenFile{std::move(fd), sync_lock});
        Reply reply{AfcOperation::kFileOpenResult, {}, {}};
        append_u64le(&reply.header_data, handle);
        return reply;
    }

    Reply file_read(AfcArgs &args, const AfcPacket &) {
        uint64_t handle = 0;
        uint64_t length = 0;
        if (!args.u64(&handle) || !args.u64(&length) || args.left() != 0) {
            return status(afc_status::kInvalidArgument);
        }
        const int fd = handle_fd(handle);
        if (fd < 0) {
            return status(afc_status::kInvalidArgument);
        }
        std::vector<uint8_t> bytes(std::min(length, kMaxReadLength));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return status(errno == EBADF ? afc_status::kPermissionDenied
                                             : afc_status::kReadError);
            }
            if (got == 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        bytes.resize(done);
        return data(std::move(bytes));
    }

    Reply file_write(AfcArgs &args, const AfcPacket &request) {
        uint64_t handle = 0;
        if (!args.u64(&handle) || args.left() != 0) {
            return status(afc_status::kInvalidArgument);
        }
        const int fd = handle_fd(handle);
        if (fd < 0) {
            return status(afc_status::kInvalidArgument);
        }
        std::size_t done = 0;
        while (done < request.payload.size()) {
            const ssize_t wrote =
                ::write(fd, request.payload.data() + done, request.payload.size() - done);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                return status(errno == EBADF    ? afc_status::kPermissionDenied
                              : errno == ENOSPC ? afc_status::kNoSpace
                                                : afc_status::kWriteError);
            }
            done += static_cast<std::size_t>(wrote);
        }
        return status(afc_status::kSuccess);
    }

    Reply file_seek(AfcArgs &args, const AfcPacket &) {
        uint64_t handle = 0;
        uint64_t whence = 0;
        uint64_t offset = 0;
        if (!args.u64(&handle) || !args.u64(&whence) || !args.u64(&offset) || args.left() != 0 ||
            whence > SEEK_END) {
            return status(afc_status::kInvalidArgument);
        }
        const int fd = handle_fd(handle);
        if (fd < 0) {
            return status(afc_status::kInvalidArgument);
        }
        const off_t moved = ::lseek(fd, static_cast<off_t>(offset), static_cast<int>(whence));
        return status(moved < 0 ? status_from_errno(errno) : afc_status::kSuccess);
    }

    Reply file_tell(AfcArgs &args, const AfcPacket &) {
        uint64_t handle = 0;
        if (!args.u64(&handle) || args.left() != 0 || handle_fd(handle) < 0) {
            return status(afc_status::kInvalidArgument);
        }
        const off_t position = ::lseek(handle_fd(handle), 0, SEEK_CUR);
        if (position < 0) {
            return status(status_from_errno(errno));
        }
        Reply reply{AfcOperation::kFileTellResult, {}, {}};
        append_u64le(&reply.header_data, static_cast<uint64_t>(position));
        return reply;
    }

    Reply file_close(AfcArgs &args, const AfcPacket &) {
        uint64_t handle = 0;
        if (!args.u64(&handle) || args.left() != 0) {
            return status(afc_status::kInvalidArgument);
        }
        // Closing the descriptor also gives up its lock.
        return status(handles_.erase(handle) == 1 ? afc_status::kSuccess
                                                  : afc_status::kInvalidArgument);
    }

    Reply file_lock(AfcArgs &args, const AfcPacket &) {
        uint64_t handle = 0;
        uint64_t operation = 0;
        if (!args.u64(&handle) || !args.u64(&operation) || args.left() != 0) {
            return status(afc_status::kInvalidArgument);
        }
        const int fd = handle_fd(handle);
        // Only the non-blocking forms: a lock that waited would hold this
        // connection's thread for as long as another host pleases.
        if (fd < 0 || (operation != kLockShared && operation != kLockExclusive &&
                       operation != kLockRelease)) {
            return status(afc_status::kInvalidArgument);
        }
        if (operation != kLockRelease && handles_.at(handle).is_sync_lock) {
            if (std::optional<uint64_t> refused = sync_lock_refusal()) {
                return status(*refused);
            }
        }
        return status(::flock(fd, static_cast<int>(operation)) == 0 ? afc_status::kSuccess
                                                                    : status_from_errno(errno));
    }

    /// What the fixture's sync-lock section makes of an attempt to take
    /// the sync lock: an AFC status, or nothing when the lock is free to take.
    std::optional<uint64_t> sync_lock_refusal() {
        const SyncLockPlay *play = context_.fixture.section<SyncLockPlay>(kSyncLockSection);
        if (!play) {
            return std::nullopt;
        }
        if (play->error) {
            return play->error;
        }
        if (play->held_for_ever) {
            return afc_status::kWouldBlock;
        }
        // Counted on the device, so a host that reconnects between attempts
        // still sees the other host let go after the N-th.
        if (play->held_attempts > 0 && folder_->count_sync_lock_attempt() <= play->held_attempts) {
            return afc_status::kWouldBlock;
        }
        return std::nullopt;
    }

    const ServiceContext &context_;
    std::shared_ptr<AfcFolder> folder_;
    std::string root_;
    struct OpenFile {
        UniqueFd fd;
        bool is_sync_lock = false;  // the media folder's com.apple.itunes.lock_sync
    };
    std::map<uint64_t, OpenFile> handles_;
    uint64_t next_handle_ = 1;
};

const AfcConnection::Operation AfcConnection::kOperations[] = {
    {AfcOperation::kReadDirectory, "read dir", &AfcConnection::read_dir},
    {AfcOperation::kRemovePath, "remove", &AfcConnection::remove_path},
    {AfcOperation::kMakeDirectory, "make dir", &AfcConnection::make_dir},
    {AfcOperation::kGetFileInfo, "file info", &AfcConnection::file_info},
    {AfcOperation::kGetDeviceInfo, "device info", &AfcConnection::device_info},
    {AfcOperation::kFileOpen, "open", &AfcConnection::file_open},
    {AfcOperation::kFileRead, "read", &AfcConnection::file_read},
    {AfcOperation::kFileWrite, "write", &AfcConnection::file_write},
    {AfcOperation::kFileSeek, "seek", &AfcConnection::file_seek},
    {AfcOperation::kFileTell, "tell", &AfcConnection::file_tell},
    {AfcOperation::kFileClose, "close", &AfcConnection::file_close},
    {AfcOperation::kRenamePath, "rename", &AfcConnection::rename_path},
    {AfcOperation::kFileLock, "lock", &AfcConnection::file_lock},
    {AfcOperation::kRemovePathAndContents, "remove all", &AfcConnection::remove_all},
};

const AfcConnection::Operation *AfcConnection::find_operation(AfcOperation code) {
    for (const Operation &operation : kOperations) {
        if (operation.code == code) {
            return &operation;
        }
    }
    return nullptr;
}

}  // namespace

uint64_t resolve_afc_path(const std::string &real_root, std::string_view device_path,
                          bool follow_last, std::string *host_path) {
    if (device_path.size() > kMaxPathLength) {
        return afc_status::kInvalidArgument;
    }
    std::vector<std::string_view> parts;
    while (!device_path.empty()) {
        const std::size_t slash = device_path.find('/');
        const std::string_view part = device_path.substr(0, slash);
        device_path =
            slash == std::string_view::npos ? std::string_view() : device_path.substr(slash + 1);
        if (part == "..") {
            return afc_status::kPermissionDenied;
        }
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
    }
    // Each part that exists must resolve inside the folder; the first one
    // that is missing ends the check, since everything below it is missing
    // too and will be made inside.
    std::string path = real_root;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        path += (path.back() == '/' ? "" : "/") + std::string(parts[i]);
        if (i + 1 == parts.size() && !follow_last) {
            break;
        }
        bool exists = false;
        if (uint64_t code = check_component(real_root, path, &exists)) {
            return code;
        }
        if (!exists) {
            for (std::size_t j = i + 1; j < parts.size(); ++j) {
                path += "/" + std::string(parts[j]);
            }
            break;
        }
    }
    *host_path = path;
    return afc_status::kSuccess;
}

bool AfcFolder::prepare(const std::string &fixture_dir, std::string *error) {
    namespace fs = std::filesystem;
    std::lock_guard lock(mutex_);
    if (!real_root_.empty()) {
        return true;
    }
    if (!copy_fixture_folder(root_, fs::path(fixture_dir) / "afc", "the media folder", error)) {
        return false;
    }
    char resolved[PATH_MAX];
    if (!::realpath(root_.c_str(), resolved)) {
        *error = root_ + ": the media folder cannot be resolved";
        return false;
    }
    // Every device has the sync lock file, whatever the fixture brought;
    // whatever is at that name already (even a link) is left alone.
    const std::string lock_file = std::string(resolved) + "/" + kSyncLockFile;
    UniqueFd made(
        ::open(lock_file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!made && errno != EEXIST) {
        *error = lock_file + ": cannot be made: " + std::strerror(errno);
        return false;
    }
    real_root_ = resolved;
    return true;
}

uint64_t AfcFolder::count_sync_lock_attempt() {
    std::lock_guard lock(mutex_);
    return ++sync_lock_attempts_;
}

FixtureSection sync_lock_section() {
    return FixtureSection{
        kSyncLockSection,
        {"SyncLockHeldByOtherHost", "SyncLockError"},
        [](const FixtureSource &source, std::any *out, std::string *error) {
            auto play = std::make_shared<SyncLockPlay>();
            plist_t held = plist_dict_get_item(source.root, "SyncLockHeldByOtherHost");
            plist_t code = plist_dict_get_item(source.root, "SyncLockError");
            if (held && code) {
                *error = source.error(
                    "SyncLockError", "goes without \"SyncLockHeldByOtherHost\" (give one of them)");
                return false;
            }
            if (const std::optional<bool> for_ever = tarvo::bool_value(held)) {
                play->held_for_ever = *for_ever;
            } else if (const std::optional<uint64_t> attempts = tarvo::uint_value(held)) {
                play->held_attempts = *attempts;
            } else if (held) {
                *error = source.error("SyncLockHeldByOtherHost",
                                      "must be a number of attempts or true (for ever)");
                return false;
            }
            if (code) {
                const uint64_t value = tarvo::uint_value(code).value_or(0);
                if (value == 0 || value > 0xFFFFFFFF) {
                    *error = source.error("SyncLockError",
                                          "must be an AFC status code (a positive integer)");
                    return false;
                }
                play->error = value;
            }
            *out = std::shared_ptr<const SyncLockPlay>(std::move(play));
            return true;
        },
    };
}

std::string AfcFolder::real_root() const {
    std::lock_guard lock(mutex_);
    return real_root_;
}

ServiceDefinition afc_definition(std::shared_ptr<AfcFolder> folder) {
    ServiceDefinition definition;
    definition.name = kAfcService;
    definition.use_tls = false;
    definition.create = [folder](const ServiceContext &context) -> std::unique_ptr<SimService> {
        return std::make_unique<AfcConnection>(context, folder);
    };
    return definition;
}

}  // namespace tarvosim
