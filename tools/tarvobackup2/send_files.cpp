// Files from the backup directory to the device.
#include "send_files.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "device_errors.h"
#include "owners.h"
#include "safe_path.h"
#include "signals_and_notifications.h"
#include "transfer_frames.h"
#include "utils.h"

namespace {

constexpr const char *kSendFunction = "mb2_handle_send_file";
constexpr uint8_t kOkFrame[kFrameHeaderSize] = {0, 0, 0, 1, kXferCodeOk};

// Reads up to `length` bytes, as many as the file still has. -1 on error.
ssize_t read_up_to(int fd, char *data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t got = read(fd, data + done, length - done);
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
    }
    return static_cast<ssize_t>(done);
}

bool send_exactly(DeviceLinkChannel &channel, const void *data, uint32_t length) {
    uint32_t sent = 0;
    return channel.send_raw(static_cast<const char *>(data), length, &sent) == 0 && sent == length;
}

void send_ok_frame(DeviceLinkChannel &channel) {
    uint32_t sent = 0;
    channel.send_raw(reinterpret_cast<const char *>(kOkFrame), sizeof kOkFrame, &sent);
}

void add_error_entry(plist_t *error_dictionary, const char *path, int error) {
    if (!*error_dictionary) {
        *error_dictionary = plist_new_dict();
    }
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "DLFileErrorString", plist_new_string(strerror(error)));
    // A negative code travels as its 64-bit two's complement.
    const int64_t code = device_error_from_errno(error);
    plist_dict_set_item(entry, "DLFileErrorCode", plist_new_uint(static_cast<uint64_t>(code)));
    plist_dict_set_item(*error_dictionary, path, entry);
}

class FileSender {
  public:
    FileSender(DeviceLinkChannel &channel, BackupRoot &root, std::vector<char> &block)
        : channel_(channel), root_(root), block_(block) {}

    int send(const char *path, plist_t *error_dictionary) {
        if (!send_name(path)) {
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
            const int error = path_errno(result);
            if (result != kPathRefused && error != ENOENT) {
                printf("%s: stat failed on '%s': %d\n", kSendFunction, target.shown.c_str(), error);
            }
            return fail(path, error, error_dictionary);
        }

        CString size_text(string_format_size(static_cast<uint64_t>(st.st_size)));
        print_info("Sending '%s' (%s)\n", path, size_text ? size_text.get() : "");
        if (st.st_size > 0) {
            int error = 0;
            if (!send_content(target, static_cast<uint64_t>(st.st_size), &error)) {
                return error == 0 ? -1 : fail(path, error, error_dictionary);
            }
        }
        send_ok_frame(channel_);
        return 0;
    }

  private:
    bool send_name(const char *path) {
        uint8_t length[4];
        const uint32_t name_length = static_cast<uint32_t>(strlen(path));
        write_be32(name_length, length);
        return send_exactly(channel_, length, sizeof length) &&
               (name_length == 0 || send_exactly(channel_, path, name_length));
    }

    // True when the file went out (or ended early without an error, which
    // the OK frame then closes). False with *error set when an error frame
    // is due, with *error 0 when a send failed and the list must end.
    bool send_content(const DevicePath &target, uint64_t size, int *error) {
        UniqueFd file;
        if (const int result = open_entry_for_reading(target, &file); result != 0) {
            *error = path_errno(result);
            if (result != kPathRefused) {
                printf("%s: Error opening local file '%s': %d\n", kSendFunction,
                       target.shown.c_str(), *error);
            }
            return false;
        }
        uint64_t total = 0;
        while (total < size) {
            // The block is read before its header goes out, so that a read
            // failure leaves no announced-but-missing data in the stream,
            // and the header announces what was read, so that a file
            // shrinking or growing under us cannot put the stream out of step.
            const uint32_t wanted =
                static_cast<uint32_t>(std::min<uint64_t>(size - total, kTransferBlockSize));
            char *payload = block_.data() + kFrameHeaderSize;
            errno = 0;
            const ssize_t got = read_up_to(file.get(), payload, wanted);
            if (got <= 0) {
                const int read_error = got < 0 ? errno : 0;
                printf("%s: read error\n", kSendFunction);
                if (read_error == 0) {
                    return true;
                }
                *error = read_error;
                return false;
            }
            const uint32_t count = static_cast<uint32_t>(got);
            uint8_t *header = reinterpret_cast<uint8_t *>(block_.data());
            write_be32(count + 1, header);
            header[4] = kXferCodeData;
            // Header and block in one send: one system call and one wake-up
            // of the device per frame instead of two.
            const uint32_t frame_length = count + kFrameHeaderSize;
            uint32_t sent = 0;
            if (channel_.send_raw(block_.data(), frame_length, &sent) != 0) {
                *error = 0;
                return false;
            }
            if (sent != frame_length) {
                if (sent > kFrameHeaderSize) {
                    printf("Error: sent only %d of %d bytes\n",
                           static_cast<int>(sent - kFrameHeaderSize), static_cast<int>(count));
                }
                *error = 0;
                return false;
            }
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
        const uint32_t text_length =
            static_cast<uint32_t>(std::min<size_t>(strlen(text), kTransferBlockSize - kFrameHeaderSize));
        uint8_t *frame = reinterpret_cast<uint8_t *>(block_.data());
        write_be32(text_length + 1, frame);
        frame[4] = kXferCodeHostError;
        memcpy(frame + kFrameHeaderSize, text, text_length);
        const uint32_t frame_length = text_length + kFrameHeaderSize;
        uint32_t sent = 0;
        if (channel_.send_raw(block_.data(), frame_length, &sent) != 0) {
            printf("could not send message\n");
        }
        if (sent != frame_length) {
            printf("could only send %d from %d\n", static_cast<int>(sent),
                   static_cast<int>(frame_length));
        }
        return -1;
    }

    DeviceLinkChannel &channel_;
    BackupRoot &root_;
    std::vector<char> &block_;
};

}  // namespace

int mb2_handle_send_file(DeviceLinkChannel &channel, const char *backup_directory, const char *path,
                         plist_t *error_dictionary) {
    if (!backup_directory || !path || !error_dictionary) {
        return -1;
    }
    BackupRoot root;
    root.open(backup_directory);
    std::vector<char> block(kFrameHeaderSize + kTransferBlockSize);
    return FileSender(channel, root, block).send(path, error_dictionary);
}

void mb2_send_requested_files(DeviceLinkChannel &channel, plist_t message,
                              const char *backup_directory) {
    mb2_set_overall_progress_from_message(message, "DLMessageDownloadFiles");
    if (!message || plist_get_node_type(message) != PLIST_ARRAY || !backup_directory ||
        plist_array_get_size(message) < 2) {
        return;
    }
    plist_t files = plist_array_get_item(message, 1);
    const uint32_t count =
        files && plist_get_node_type(files) == PLIST_ARRAY ? plist_array_get_size(files) : 0;

    BackupRoot root;
    root.open(backup_directory);
    std::vector<char> block(kFrameHeaderSize + kTransferBlockSize);
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
