/*
 * The raw file stream that follows a DLMessageUploadFiles (device to host)
 * or a DLMessageDownloadFiles (host to device): name fields (u32
 * big-endian length, bytes), frames (u32 big-endian N = 1 + payload size,
 * a code byte, the payload) and a zero length at the end. Scripts and the
 * backup engine both go through here, so the two write and read the same
 * bytes. Everything the host sends is capped before it is read.
 */
#ifndef TARVO_SIM_FILE_STREAM_H
#define TARVO_SIM_FILE_STREAM_H

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device_link_messages.h"

namespace tarvosim {

/// How a piece of a stream went: on, a check that failed (the exchange
/// ends with a failure answer), or the link is gone.
struct StreamStatus {
    enum Kind { kOk, kFailed, kGone } kind = kOk;
    std::string why;

    static StreamStatus ok() { return {}; }
    static StreamStatus failed(std::string why) { return {kFailed, std::move(why)}; }
    static StreamStatus gone() { return {kGone, {}}; }
    bool is_ok() const { return kind == kOk; }
};

/// One file the device sends: its content comes from `read`, which fills
/// the whole span with the next bytes (false: the device cannot read on,
/// and the file closes with a device error frame instead).
struct OutgoingFile {
    std::string device_path;
    std::string local_path;
    uint64_t size = 0;
    std::function<bool(std::span<uint8_t> out)> read;
    /// The next data frame's payload size given what is left; unset: 32 KiB.
    std::function<uint64_t(uint64_t left)> next_block;
    /// The closing frame: dl::kXferOk, or dl::kXferDeviceError with `error_text`.
    uint8_t close_code = dl::kXferOk;
    std::string error_text;
};

/// Sees each piece of an upload stream on its way out, so that the device
/// can be slowed down or cut off at any byte (the engine's fault knobs).
class UploadTap {
  public:
    virtual ~UploadTap() = default;
    /// Writes `bytes`, or the part before the device vanishes; false when
    /// the link is gone.
    virtual bool write(DlChannel &channel, std::span<const uint8_t> bytes) = 0;
};

/// Writes upload streams through one buffer, so that the names and frames
/// of many small files, or several frames of a large one, leave in one
/// write: a write per header would cost a system call and a wake-up of the
/// host for 5 bytes. Content is read straight into the buffer. Every byte
/// goes through `tap` when there is one. Nothing reaches the link before
/// flush() (or the buffer fills), so a caller that must be in step with
/// the host at a file's end flushes there.
class UploadWriter {
  public:
    explicit UploadWriter(DlChannel &channel, UploadTap *tap = nullptr);
    UploadWriter(const UploadWriter &) = delete;
    UploadWriter &operator=(const UploadWriter &) = delete;

    /// One file: names, data frames, closing frame. False when the link is gone.
    bool write_file(const OutgoingFile &file);
    /// The zero length that ends the stream, then everything flushed.
    bool write_end();
    bool flush();

  private:
    // Four data frames of 32 KiB with their headers.
    static constexpr std::size_t kBufferSize = 4 * (5 + 32768);

    bool send(std::span<const uint8_t> bytes);
    /// `size` bytes of room at the buffer's end (after a flush when it is
    /// short), for the caller to fill and then count in used_; null when
    /// the link is gone.
    uint8_t *room(std::size_t size);
    bool append(std::span<const uint8_t> bytes);
    bool append_be32(uint32_t value);
    bool append_name_field(std::string_view name);
    bool append_frame_header(uint32_t length, uint8_t code);
    bool append_data_frame(const OutgoingFile &file, uint64_t block, bool *readable);
    bool append_closing_frame(const OutgoingFile &file, bool readable);

    DlChannel &channel_;
    UploadTap *tap_;
    std::vector<uint8_t> buffer_;  // made at first use
    std::size_t used_ = 0;
};

/// Writes one whole file of an upload stream at once.
bool write_upload_file(DlChannel &channel, const OutgoingFile &file, UploadTap *tap = nullptr);
/// The zero length that ends an upload stream.
bool write_end_of_stream(DlChannel &channel, UploadTap *tap = nullptr);

/// The next name of the host's download stream; nullopt at its zero length.
StreamStatus read_download_name(DlChannel &channel, std::optional<std::string> *name);

/// What the host sent for one file.
struct IncomingFile {
    uint64_t size = 0;
    bool missing = false;    // the host answered with an error frame
    std::string error_text;  // its text
};

/// Receives content: returns ok to go on, anything else stops the stream.
using ContentSink = std::function<StreamStatus(std::span<const uint8_t> bytes)>;

/// The frames of one download after its name, up to the OK or error frame.
/// Content beyond `cap` bytes fails the stream before it is read.
StreamStatus read_download_file(DlChannel &channel, const std::string &name, uint64_t cap,
                                const ContentSink &sink, IncomingFile *out);

/// The host waited out or left: silence fails the check, a closed link ends it.
StreamStatus stream_cut_short(SocketStatus status, const std::string &what);

}  // namespace tarvosim

#endif
