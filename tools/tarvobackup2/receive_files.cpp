// Files from the device into the backup directory.
#include "receive_files.h"

#include "overall_progress.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "device_errors.h"
#include "fd_io.h"
#include "libtarvo/device_link_protocol.h"
#include "owners.h"
#include "progress.h"
#include "progress_feed.h"
#include "safe_path.h"
#include "signals_and_notifications.h"
#include "transfer_frames.h"
#include "utils.h"

namespace dl = libtarvo::dl;

namespace {

// A device under load pauses between frames (reading its storage, say); a
// device that vanished closes its connection at once. So a quiet stream is
// waited for this long, in the library's own waits, with the stop flag
// looked at between them.
constexpr auto kStreamPatience = std::chrono::seconds(60);

// Files are written without a name, or under this one in their folder, and
// get their own name when their closing frame arrives, so that a file cut
// short (the device gone, the tool killed) is never found under a name the
// device relies on.
// One upload writes one file at a time, so one name per folder is enough,
// and a rerun writes over what a killed run left.
constexpr const char *kPartialName = ".tarvo-partial";

bool quit_requested() {
    return quit_flag.load(std::memory_order_relaxed) != 0;
}

// Up to `length` bytes; the count that arrived, 0 when the stream stayed
// quiet for kStreamPatience, failed, or the stop flag was raised.
uint32_t receive_into(BackupChannel &channel, void *data, uint32_t length) {
    if (length == 0) {
        return 0;
    }
    const auto give_up = std::chrono::steady_clock::now() + kStreamPatience;
    while (true) {
        uint32_t got = 0;
        const int result = channel.receive_raw(static_cast<char *>(data), length, &got);
        if (got > 0 || result != MOBILEBACKUP2_E_RECEIVE_TIMEOUT || quit_requested() ||
            std::chrono::steady_clock::now() >= give_up) {
            return std::min(got, length);
        }
    }
}

// Reads and drops `count` bytes through `scratch`, whatever size the device
// announced; stops early when the stream yields nothing.
void drop_bytes(BackupChannel &channel, uint64_t count, std::vector<char> &scratch) {
    while (count > 0) {
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(count, scratch.size()));
        const uint32_t got = receive_into(channel, scratch.data(), piece);
        if (got == 0) {
            return;
        }
        count -= got;
    }
}

// One DLMessageUploadFiles: the stream of files that follows it, up to its
// end, and the answer.
class UploadReceiver {
  public:
    UploadReceiver(BackupChannel &channel, const char *backup_directory, uint64_t bytes_expected)
        : channel_(channel), bytes_expected_(bytes_expected), buffer_(kTransferBlockSize) {
        root_.open(backup_directory);
        // Uploads only create files, so the directories found stay valid.
        root_.cache_parents();
    }
    ~UploadReceiver() {
        drop_partial();
        free(device_path_);
    }
    UploadReceiver(const UploadReceiver &) = delete;
    UploadReceiver &operator=(const UploadReceiver &) = delete;

    int run() {
        if (!quit_requested()) {
            receive_stream();
        }
        answer();
        return files_created_;
    }

  private:
    enum class Next { kNextFile, kEnd, kDiscard };

    void receive_stream() {
        Next next = Next::kNextFile;
        while (next == Next::kNextFile) {
            next = receive_one_file();
        }
        if (next == Next::kDiscard) {
            discard_current_hunk();
        }
    }

    Next receive_one_file() {
        if (mb2_receive_filename(channel_, &device_path_) == 0) {
            return Next::kEnd;
        }
        char *raw_local = nullptr;
        const uint32_t local_length = mb2_receive_filename(channel_, &raw_local);
        CString local(raw_local);
        if (local_length == 0) {
            return Next::kEnd;
        }
        local_path_.assign(local.get());
        target_state_ = kNotLocated;
        file_completed_ = false;

        uint8_t length_bytes[4];
        if (receive_into(channel_, length_bytes, 4) != 4) {
            printf("ERROR: %s: could not receive code length!\n", "mb2_handle_receive_files");
            return Next::kEnd;
        }
        frame_length_ = read_be32(length_bytes);
        previous_code_ = code_;
        if (receive_into(channel_, &code_, 1) != 1) {
            printf("ERROR: %s: could not receive code!\n", "mb2_handle_receive_files");
            return Next::kDiscard;
        }
        if (code_ != dl::kXferOk && code_ != dl::kXferDeviceError && code_ != dl::kXferData) {
            print_info("Found new flag %02x\n", code_);
        }
        if (dropping_rest_) {
            return skip_file();
        }

        UniqueFd file;
        if (const int result = create_target(&file); result != 0) {
            report_open_failure(result);
            return skip_unwritable_file();
        }
        block_cut_short_ = false;
        write_error_reported_ = false;
        receive_data_frames(file.get());
        ++files_created_;
        // Closed by its closing frame, or by the zero length that also ends
        // the stream; a stop inside the data leaves it open.
        if (!block_cut_short_ && (code_ != dl::kXferData || frame_length_ == 0)) {
            complete_file(file.get());
            report_to_feed(file.get());
        } else {
            drop_partial();
        }
        // An unnamed file that got no name goes with its descriptor.
        file.reset();

        if (frame_length_ == 0) {
            return Next::kEnd;
        }
        if (code_ == dl::kXferDeviceError) {
            receive_device_error();
        }
        return quit_requested() ? Next::kDiscard : Next::kNextFile;
    }

    void report_to_feed(int fd) {
        struct stat st;
        if (file_completed_ && progress_feed_on() && fstat(fd, &st) == 0) {
            progress_feed_file(TransferDirection::kReceived, local_path_.c_str(),
                               static_cast<uint64_t>(st.st_size));
        }
    }

    // A file that could not be created: its hunk goes as the discard step
    // has it, and the rest of the stream is read and dropped up to its end,
    // so that the device, told of the failure in the answer, can go on with
    // its next message.
    Next skip_unwritable_file() {
        discard_current_hunk();
        dropping_rest_ = true;
        if (code_ != dl::kXferData) {
            return Next::kNextFile;
        }
        if (!next_frame_header()) {
            return Next::kEnd;
        }
        return skip_file();
    }

    // The frames of a file that is not written, from the header just read.
    Next skip_file() {
        receive_data_frames(-1);
        if (frame_length_ == 0) {
            return Next::kEnd;
        }
        if (code_ == dl::kXferDeviceError) {
            receive_device_error();
        }
        return quit_requested() ? Next::kEnd : Next::kNextFile;
    }

    // 0, an errno or kPathRefused. A new file is written without a name
    // where the file system allows it (cheaper than a rename on ext4, and
    // nothing is left behind by a kill); otherwise, and always when a file
    // stands at its name, under kPartialName, so that what stood there
    // stays until the file is complete.
    int create_target(UniqueFd *file) {
        if (const int located = locate_target(); located != 0) {
            return located;
        }
        struct stat st;
        const bool name_taken = stat_entry(target_, &st) == 0;
        if (name_taken && S_ISDIR(st.st_mode)) {
            return EISDIR;
        }
        unnamed_ = !name_taken && create_unnamed_for_writing(target_, file) == 0;
        if (unnamed_) {
            return 0;
        }
        const int created = create_sibling_for_writing(target_, kPartialName, file);
        partial_exists_ = created == 0;
        return created;
    }

    int locate_target() {
        if (target_state_ == kNotLocated) {
            target_state_ = root_.locate(local_path_.c_str(), &target_);
        }
        return target_state_;
    }

    // The closing frame arrived: a file received whole takes its name; one
    // with a block cut short or a failed write is dropped.
    void complete_file(int fd) {
        if (block_cut_short_ || write_error_reported_) {
            drop_partial();
            return;
        }
        if (unnamed_) {
            name_unnamed(fd);
            return;
        }
        if (const int renamed = rename_sibling_onto_entry(target_, kPartialName); renamed != 0) {
            report_write_error(renamed);
            drop_partial();
            return;
        }
        partial_exists_ = false;
        file_completed_ = true;
    }

    // Something took the free name while the file came: it is replaced, as
    // a file written under kPartialName would replace it.
    void name_unnamed(int fd) {
        int named = name_unnamed_file(target_, fd);
        if (named == EEXIST) {
            unlink_sibling(target_, kPartialName);
            named = name_unnamed_file(target_, fd, kPartialName);
            partial_exists_ = named == 0;
            if (named == 0) {
                named = rename_sibling_onto_entry(target_, kPartialName);
            }
        }
        if (named != 0) {
            report_write_error(named);
            drop_partial();
            return;
        }
        partial_exists_ = false;
        file_completed_ = true;
    }

    void drop_partial() {
        if (partial_exists_) {
            unlink_sibling(target_, kPartialName);
            partial_exists_ = false;
        }
    }

    void report_open_failure(int result) {
        const int error = path_errno(result);
        status_code_ = device_error_from_errno(error);
        status_text_ = strerror(error);
        if (result != kPathRefused) {
            printf("Error opening '%s' for writing: %s\n", target_.shown.c_str(),
                   status_text_.c_str());
        }
    }

    // The next frame header of the current file; false when the stream
    // ended there (a zero length, or nothing arrived).
    bool next_frame_header() {
        uint8_t length_bytes[4] = {0, 0, 0, 0};
        const uint32_t got = receive_into(channel_, length_bytes, 4);
        frame_length_ = read_be32(length_bytes);
        if (frame_length_ == 0) {
            // Four zero bytes close the file properly; anything less is a
            // stream that broke.
            block_cut_short_ = block_cut_short_ || got != 4;
            return false;
        }
        previous_code_ = code_;
        if (receive_into(channel_, &code_, 1) != 1) {
            // The stream broke between header and code: the file ends
            // here and the next name read finds the end.
            code_ = dl::kXferOk;
            block_cut_short_ = true;
        }
        return true;
    }

    // Data frames into `fd` (-1: read and dropped) while they come, from
    // the header just read; ends on another code, a zero length (the end of
    // the stream), or the stop flag.
    void receive_data_frames(int fd) {
        while (code_ == dl::kXferData) {
            receive_block(fd);
            if (fd >= 0) {
                show_progress();
            }
            if (quit_requested() || !next_frame_header()) {
                return;
            }
        }
    }

    // The data frame's payload, piece by piece straight into the file.
    void receive_block(int fd) {
        // A zero length is malformed here; it carries no payload.
        const uint32_t block = frame_length_ > 0 ? frame_length_ - 1 : 0;
        uint32_t done = 0;
        while (done < block) {
            const uint32_t piece = std::min(block - done, kTransferBlockSize);
            const uint32_t got = receive_into(channel_, buffer_.data(), piece);
            if (got == 0) {
                break;
            }
            if (fd >= 0) {
                write_piece(fd, got);
            }
            done += got;
        }
        if (done == block) {
            if (fd >= 0) {
                bytes_received_ += block;
            }
        } else {
            block_cut_short_ = true;
        }
    }

    // A file that cannot be written whole is reported once; the stream is
    // still read to its end so that the connection stays in step, and the
    // answer tells the device that the backup is not complete.
    void write_piece(int fd, uint32_t length) {
        if (write_error_reported_) {
            return;
        }
        if (!tarvo::write_whole(fd, buffer_.data(), length)) {
            report_write_error(errno);
        }
    }

    void report_write_error(int error) {
        write_error_reported_ = true;
        printf("Error writing '%s': %s\n", target_.shown.c_str(), strerror(error));
        if (write_error_ == 0) {
            write_error_ = error;
        }
    }

    void show_progress() {
        if (bytes_expected_ == 0 || !verbose) {
            return;
        }
        double percent =
            static_cast<double>(bytes_received_) / static_cast<double>(bytes_expected_) * 100.0;
        percent = std::min(percent, 100.0);
        if (expected_text_.empty()) {
            CString expected(string_format_size(bytes_expected_));
            expected_text_ = expected ? expected.get() : "";
        }
        ProgressLine line(percent);
        line.append(" (").append_size(bytes_received_).append("/");
        line.append(expected_text_.data(), expected_text_.size()).append(")     ");
        if (percent == 100.0) {
            line.append("\n");
        }
        line.flush();
    }

    // The text of a device error frame: at most kMaxDeviceErrorText bytes are
    // kept, the rest of what the device announced is read and dropped.
    void receive_device_error() {
        const uint32_t text_length = frame_length_ - 1;
        const uint32_t keep = std::min(text_length, kMaxDeviceErrorText);
        std::string text(keep, '\0');
        const uint32_t got = receive_into(channel_, text.data(), keep);
        text.resize(got);
        if (got == keep && text_length > keep) {
            drop_bytes(channel_, text_length - keep, buffer_);
        }
        if (previous_code_ != dl::kXferData) {
            printf("\nReceived an error message from device: %s\n", text.c_str());
        }
    }

    // Drops the rest of the current hunk and what was written of its file:
    // the file itself once it had its name, else its partial copy (a
    // version that stood under the name before stays).
    void discard_current_hunk() {
        if (static_cast<int32_t>(frame_length_) < 2) {
            drop_partial();
            return;
        }
        print_info("\nDiscarding current data hunk.\n");
        drop_bytes(channel_, frame_length_ - 1, buffer_);
        if (file_completed_) {
            unlink_entry(target_);
        }
        drop_partial();
    }

    void answer() {
        if (status_code_ == 0 && write_error_ != 0) {
            status_code_ = device_error_from_errno(write_error_);
            status_text_ = strerror(write_error_);
        }
        PlistPtr empty(plist_new_dict());
        channel_.send_status_response(
            status_code_, status_text_.empty() ? nullptr : status_text_.c_str(), empty.get());
    }

    // Neither 0, an errno nor kPathRefused.
    static constexpr int kNotLocated = -1000;

    // The receiver's state between frames: a list of fields, not a copy of the device's records.
    BackupChannel &channel_;
    BackupRoot root_;
    const uint64_t bytes_expected_;
    // The total as the bar shows it, made once per upload.
    std::string expected_text_;
    uint64_t bytes_received_ = 0;
    int files_created_ = 0;
    uint8_t code_ = 0;
    uint8_t previous_code_ = 0;
    uint32_t frame_length_ = 0;
    char *device_path_ = nullptr;
    std::string local_path_;
    DevicePath target_;
    int target_state_ = kNotLocated;
    int status_code_ = 0;
    std::string status_text_;
    int write_error_ = 0;
    bool write_error_reported_ = false;
    // The current file is being written without a name.
    bool unnamed_ = false;
    // The current file's partial copy exists under kPartialName.
    bool partial_exists_ = false;
    // The current file has its own name (its closing frame arrived).
    bool file_completed_ = false;
    // Part of a block, a frame header or the code byte never came.
    bool block_cut_short_ = false;
    // A file could not be created: the rest of the stream is dropped.
    bool dropping_rest_ = false;
    std::vector<char> buffer_;
};

}  // namespace

uint32_t mb2_receive_filename(BackupChannel &channel, char **filename) {
    uint8_t length_bytes[4];
    while (true) {
        memset(length_bytes, 0, sizeof length_bytes);
        uint32_t got = 0;
        const int result = channel.receive_raw(reinterpret_cast<char *>(length_bytes), 4, &got);
        if (got == 4 && read_be32(length_bytes) == 0) {
            return 0;
        }
        if (got > 0) {
            break;
        }
        // Nothing yet: the device may need time. A connection that failed
        // outright will bring nothing more, so waiting on would only spin.
        if (quit_requested() || (result != 0 && result != MOBILEBACKUP2_E_RECEIVE_TIMEOUT)) {
            return 0;
        }
    }
    const uint32_t length = read_be32(length_bytes);
    if (length > dl::kMaxXferNameLength) {
        printf("ERROR: %s: too large filename length (%d)!\n", "mb2_receive_filename",
               static_cast<int>(length));
        return 0;
    }
    free(*filename);
    *filename = static_cast<char *>(malloc(length + 1));
    if (!*filename) {
        return 0;
    }
    if (receive_into(channel, *filename, length) != length) {
        printf("ERROR: %s: could not read filename\n", "mb2_receive_filename");
        return 0;
    }
    (*filename)[length] = '\0';
    return length;
}

int mb2_handle_receive_files(BackupChannel &channel, plist_t message,
                             const char *backup_directory) {
    mb2_set_overall_progress_from_message(message, dl::kUploadFiles);
    if (!message || plist_get_node_type(message) != PLIST_ARRAY ||
        plist_array_get_size(message) < 4 || !backup_directory) {
        return 0;
    }
    uint64_t bytes_expected = 0;
    plist_t total = plist_array_get_item(message, 3);
    if (total && plist_get_node_type(total) == PLIST_UINT) {
        plist_get_uint_val(total, &bytes_expected);
        if (bytes_expected > 0) {
            print_info("Receiving files\n");
        }
    }
    UploadReceiver receiver(channel, backup_directory, bytes_expected);
    return receiver.run();
}

void upload_files_row(Mb2LoopContext &context, plist_t message) {
    context.result.files_received +=
        mb2_handle_receive_files(context.channel, message, context.backup_directory);
}
