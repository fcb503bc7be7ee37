// Files from the backup directory to the device.
#include "send_files.h"

#include "overall_progress.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device_errors.h"
#include "libtarvo/device_link_protocol.h"
#include "owners.h"
#include "progress_feed.h"
#include "safe_path.h"
#include "signals_and_notifications.h"
#include "transfer_frames.h"
#include "utils.h"

namespace dl = libtarvo::dl;

namespace {

constexpr const char *kSendFunction = "mb2_handle_send_file";
constexpr uint8_t kOkFrame[kFrameHeaderSize] = {0, 0, 0, 1, dl::kXferOk};

// Frames go out up to this many at a time: the file is read into their
// payload slots with one call and the frames sent with one more, which
// moves a large file in a quarter of the calls of one frame at a time. The
// frames themselves are what one block at a time would make.
constexpr int kFramesPerSend = 4;
constexpr size_t kFrameSlot = kFrameHeaderSize + kTransferBlockSize;
// A small file's name field, its frames and its OK frame leave in one
// send: each send wakes the device, and a name, a frame and a closing
// frame apiece would triple the wake-ups of a backup of small files. The
// name field is written just before the frames (names up to this long;
// longer ones go out alone) and the OK frame just after them.
constexpr size_t kNameRoom = 4 + 4096;
constexpr size_t kSendBufferSize = kNameRoom + kFramesPerSend * kFrameSlot + kFrameHeaderSize;

// Fills the slots in order, as many bytes as the file still has (a short
// read goes on where it stopped). -1 on an error before the first byte;
// after one, the bytes so far (the next call reports the error).
ssize_t read_into_slots(int fd, struct iovec *slots, int count) {
    size_t done = 0;
    int first = 0;
    while (first < count) {
        const ssize_t got = readv(fd, slots + first, count - first);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
        size_t rest = static_cast<size_t>(got);
        while (first < count && rest >= slots[first].iov_len) {
            rest -= slots[first].iov_len;
            ++first;
        }
        if (first < count) {
            slots[first].iov_base = static_cast<char *>(slots[first].iov_base) + rest;
            slots[first].iov_len -= rest;
        }
    }
    return static_cast<ssize_t>(done);
}

bool send_exactly(BackupChannel &channel, const void *data, uint32_t length) {
    uint32_t sent = 0;
    return channel.send_raw(static_cast<const char *>(data), length, &sent) == 0 && sent == length;
}

void send_ok_frame(BackupChannel &channel) {
    uint32_t sent = 0;
    channel.send_raw(reinterpret_cast<const char *>(kOkFrame), sizeof kOkFrame, &sent);
}

void add_error_entry(plist_t *error_dictionary, const char *path, int error) {
    if (!*error_dictionary) {
        *error_dictionary = plist_new_dict();
    }
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, dl::kFileErrorString, plist_new_string(strerror(error)));
    // A negative code travels as its 64-bit two's complement.
    const int64_t code = device_error_from_errno(error);
    plist_dict_set_item(entry, dl::kFileErrorCode, plist_new_uint(static_cast<uint64_t>(code)));
    plist_dict_set_item(*error_dictionary, path, entry);
}

// The bytes on the wire are those of a name, each frame and the closing
// frame sent one by one, and so is the output: the "Sending" line and any
// error line appear once the name has gone out, as they did when the name
// went out first; a name that cannot go out ends the list silently.
class FileSender {
  public:
    FileSender(BackupChannel &channel, BackupRoot &root, std::vector<char> &buffer)
        : channel_(channel), root_(root), buffer_(buffer) {}

    int send(const char *path, plist_t *error_dictionary) {
        if (!hold_name(path)) {
            return -1;
        }
        DevicePath target;
        struct stat st;
        int result = root_.locate(path, &target);
        if (result == 0) {
            result = stat_entry(target, &st);
        }
        if (result == 0 && S_ISLNK(st.st_mode)) {
            result = refuse_device_path(target.device_path, "a symbolic link");
        }
        if (result != 0) {
            if (!send_held_name()) {
                return -1;
            }
            const int error = path_errno(result);
            if (result != kPathRefused && error != ENOENT) {
                printf("%s: stat failed on '%s': %d\n", kSendFunction, target.shown.c_str(), error);
            }
            return fail(path, error, error_dictionary);
        }

        const uint64_t size = static_cast<uint64_t>(st.st_size);
        CString size_text(string_format_size(size));
        announcement_ =
            std::string("Sending '") + path + "' (" + (size_text ? size_text.get() : "") + ")\n";
        if (size == 0) {
            // The name and the OK frame in one send.
            memcpy(frames(), kOkFrame, sizeof kOkFrame);
            uint32_t sent = 0;
            if (!send_with_held_name(sizeof kOkFrame, &sent)) {
                return -1;
            }
            progress_feed_file(TransferDirection::kSent, path, 0);
            return 0;
        }
        int error = 0;
        bool closed = false;
        if (!send_content(target, size, &error, &closed)) {
            return error == 0 ? -1 : fail(path, error, error_dictionary);
        }
        if (!closed) {
            send_ok_frame(channel_);
        }
        progress_feed_file(TransferDirection::kSent, path, size);
        return 0;
    }

  private:
    char *frames() { return buffer_.data() + kNameRoom; }

    // The name field waits just before the frames, to go out with them; a
    // name too long for that room goes out at once, alone.
    bool hold_name(const char *path) {
        const uint32_t name_length = static_cast<uint32_t>(strlen(path));
        held_ = 0;
        announcement_.clear();
        if (sizeof(uint32_t) + name_length > kNameRoom) {
            uint8_t length[4];
            write_be32(name_length, length);
            return send_exactly(channel_, length, sizeof length) &&
                   (name_length == 0 || send_exactly(channel_, path, name_length));
        }
        held_ = static_cast<uint32_t>(sizeof(uint32_t) + name_length);
        char *field = frames() - held_;
        write_be32(name_length, reinterpret_cast<uint8_t *>(field));
        memcpy(field + sizeof(uint32_t), path, name_length);
        return true;
    }

    bool send_held_name() {
        uint32_t sent = 0;
        return send_with_held_name(0, &sent);
    }

    // Sends the held name and `length` bytes at frames() in one call;
    // *sent counts the bytes at frames() that went out. False when the
    // name did not all go out. Once it is out the file's "Sending" line,
    // if it has one yet, is printed.
    bool send_with_held_name(uint32_t length, uint32_t *sent) {
        const uint32_t held = held_;
        held_ = 0;
        uint32_t done = 0;
        send_failed_ =
            held + length > 0 && channel_.send_raw(frames() - held, held + length, &done) != 0;
        *sent = done > held ? done - held : 0;
        if (done < held) {
            return false;
        }
        if (!announcement_.empty()) {
            print_info("%s", announcement_.c_str());
            announcement_.clear();
        }
        return true;
    }

    // True when the file went out (or ended early without an error, which
    // the OK frame then closes; *closed when the last frames took it
    // along). False with *error set when an error frame is due, with
    // *error 0 when a send failed and the list must end.
    bool send_content(const DevicePath &target, uint64_t size, int *error, bool *closed) {
        UniqueFd file;
        if (const int result = open_entry_for_reading(target, &file); result != 0) {
            *error = 0;
            if (!send_held_name()) {
                return false;
            }
            *error = path_errno(result);
            if (result != kPathRefused) {
                printf("%s: Error opening local file '%s': %d\n", kSendFunction,
                       target.shown.c_str(), *error);
            }
            return false;
        }
        uint64_t total = 0;
        while (total < size) {
            // The blocks are read before their headers go out, so that a
            // read failure leaves no announced-but-missing data in the
            // stream, and each header announces what was read, so that a
            // file shrinking or growing under us cannot put the stream out
            // of step.
            const uint64_t left = size - total;
            struct iovec slots[kFramesPerSend];
            int wanted_slots = 0;
            for (uint64_t at = 0; at < left && wanted_slots < kFramesPerSend;
                 at += kTransferBlockSize) {
                slots[wanted_slots].iov_base =
                    frames() + wanted_slots * kFrameSlot + kFrameHeaderSize;
                slots[wanted_slots].iov_len =
                    static_cast<size_t>(std::min<uint64_t>(left - at, kTransferBlockSize));
                ++wanted_slots;
            }
            errno = 0;
            const ssize_t got = read_into_slots(file.get(), slots, wanted_slots);
            if (got <= 0) {
                const int read_error = got < 0 ? errno : 0;
                *error = 0;
                if (!send_held_name()) {
                    return false;
                }
                printf("%s: read error\n", kSendFunction);
                if (read_error == 0) {
                    return true;
                }
                *error = read_error;
                return false;
            }
            const uint64_t count = static_cast<uint64_t>(got);
            uint32_t frames_length = 0;
            uint32_t last_count = 0;
            for (uint64_t at = 0; at < count; at += kTransferBlockSize) {
                last_count =
                    static_cast<uint32_t>(std::min<uint64_t>(count - at, kTransferBlockSize));
                uint8_t *header = reinterpret_cast<uint8_t *>(frames() + frames_length);
                write_be32(last_count + 1, header);
                header[4] = dl::kXferData;
                frames_length += static_cast<uint32_t>(kFrameSlot);
            }
            frames_length -= kTransferBlockSize - last_count;
            // The file's last frames take its OK frame along; whether that
            // went out was never looked at when it went alone either.
            const bool last = total + count == size;
            if (last) {
                memcpy(frames() + frames_length, kOkFrame, sizeof kOkFrame);
            }
            uint32_t sent = 0;
            *error = 0;
            if (!send_with_held_name(frames_length + (last ? sizeof kOkFrame : 0), &sent)) {
                return false;
            }
            if (send_failed_ && sent < frames_length) {
                return false;
            }
            if (sent < frames_length) {
                // The block the send stopped in, as one block at a time would say.
                const uint32_t in_slot = sent % kFrameSlot;
                const uint32_t slot_count = sent / kFrameSlot == frames_length / kFrameSlot
                                                ? last_count
                                                : kTransferBlockSize;
                if (in_slot > kFrameHeaderSize) {
                    printf("Error: sent only %d of %d bytes\n",
                           static_cast<int>(in_slot - kFrameHeaderSize),
                           static_cast<int>(slot_count));
                }
                return false;
            }
            *closed = last;
            total += count;
        }
        return true;
    }

    // The error frame for `error` (0: nothing went wrong after all).
    int fail(const char *path, int error, plist_t *error_dictionary) {
        if (error == 0) {
            send_ok_frame(channel_);
            return 0;
        }
        add_error_entry(error_dictionary, path, error);
        const char *text = strerror(error);
        const uint32_t text_length = static_cast<uint32_t>(
            std::min<size_t>(strlen(text), kTransferBlockSize - kFrameHeaderSize));
        uint8_t *frame = reinterpret_cast<uint8_t *>(frames());
        write_be32(text_length + 1, frame);
        frame[4] = dl::kXferHostError;
        memcpy(frame + kFrameHeaderSize, text, text_length);
        const uint32_t frame_length = text_length + kFrameHeaderSize;
        uint32_t sent = 0;
        if (channel_.send_raw(frames(), frame_length, &sent) != 0) {
            printf("could not send message\n");
        }
        if (sent != frame_length) {
            printf("could only send %d from %d\n", static_cast<int>(sent),
                   static_cast<int>(frame_length));
        }
        return -1;
    }

    BackupChannel &channel_;
    BackupRoot &root_;
    std::vector<char> &buffer_;  // kSendBufferSize: name room, frame slots, OK frame
    uint32_t held_ = 0;          // bytes of the name field waiting just before frames()
    std::string announcement_;   // the "Sending" line, printed once the name is out
    bool send_failed_ = false;   // the last send reported an error
};

}  // namespace

int mb2_handle_send_file(BackupChannel &channel, const char *backup_directory, const char *path,
                         plist_t *error_dictionary) {
    if (!backup_directory || !path || !error_dictionary) {
        return -1;
    }
    BackupRoot root;
    root.open(backup_directory);
    std::vector<char> block(kSendBufferSize);
    return FileSender(channel, root, block).send(path, error_dictionary);
}

void mb2_send_requested_files(BackupChannel &channel, plist_t message,
                              const char *backup_directory) {
    mb2_set_overall_progress_from_message(message, dl::kDownloadFiles);
    if (!message || plist_get_node_type(message) != PLIST_ARRAY || !backup_directory ||
        plist_array_get_size(message) < 2) {
        return;
    }
    plist_t files = plist_array_get_item(message, 1);
    const uint32_t count =
        files && plist_get_node_type(files) == PLIST_ARRAY ? plist_array_get_size(files) : 0;

    BackupRoot root;
    root.open(backup_directory);
    // The message only reads, so the folders resolved for one file stay
    // good for the next (a restore asks for thousands in the same few).
    root.cache_parents();
    std::vector<char> block(kSendBufferSize);
    FileSender sender(channel, root, block);
    plist_t raw_errors = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        plist_t node = plist_array_get_item(files, i);
        if (!node || plist_get_node_type(node) != PLIST_STRING) {
            continue;
        }
        char *raw_path = nullptr;
        plist_get_string_val(node, &raw_path);
        CString path(raw_path);
        if (!path) {
            continue;
        }
        if (sender.send(path.get(), &raw_errors) == -1) {
            break;
        }
    }
    PlistPtr errors(raw_errors);

    const uint8_t end_of_stream[4] = {0, 0, 0, 0};
    uint32_t sent = 0;
    channel.send_raw(reinterpret_cast<const char *>(end_of_stream), sizeof end_of_stream, &sent);
    if (errors) {
        channel.send_status_response(kMultiStatusCode, "Multi status", errors.get());
    } else {
        PlistPtr empty(plist_new_dict());
        channel.send_status_response(0, nullptr, empty.get());
    }
}

void download_files_row(Mb2LoopContext &context, plist_t message) {
    mb2_send_requested_files(context.channel, message, context.backup_directory);
}
