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
    /// The closing frame: kXferOk, or kXferDeviceError with `error_text`.
    uint8_t close_code = kXferOk;
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

/// Writes one file of an upload stream: names, data frames, closing frame.
/// Every byte goes through `tap` when there is one.
bool write_upload_file(DlChannel &channel, const OutgoingFile &file, UploadTap *tap = nullptr);
/// The zero length that ends an upload stream.
bool write_end_of_stream(DlChannel &channel, UploadTap *tap = nullptr);

/// The next name of the host's download stream; nullopt at its zero length.
StreamStatus read_download_name(DlChannel &channel, std::optional<std::string> *name);

/// What the host sent for one file.
struct IncomingFile {
    uint64_t size = 0;
    bool missing = false;     // the host answered with an error frame
    std::string error_text;   // its text
};

/// Receives content: returns ok to go on, anything else stops the stream.
using ContentSink = std::function<StreamStatus(std::span<const uint8_t> bytes)>;

/// The frames of one download after its name, up to the OK or error frame.
/// Content beyond `cap` bytes fails the stream before it is read.
StreamStatus read_download_file(DlChannel &channel, const std::string &name, uint64_t cap,
                                const ContentSink &sink, IncomingFile *out);

/// The host waited out or left: silence fails the check, a closed link ends it.
StreamStatus stream_cut_short(LinkStatus status, const std::string &what);

}  // namespace tarvosim

#endif
