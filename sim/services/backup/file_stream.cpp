/*
 * Writing and reading the raw file stream of device-link transfers.
 */
#include "file_stream.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tarvosim {
namespace {

// Frames are read and written in pieces of this size, whatever N says.
constexpr std::size_t kPiece = 32768;
// Error texts of the host's error frames; devices read them into a small buffer.
constexpr uint32_t kMaxHostErrorText = 32768;
constexpr uint64_t kDefaultBlock = 32768;

std::string in_quotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

/// Where an upload stream's bytes go: the channel, through the tap when
/// there is one. Headers are encoded here, as DlChannel encodes them, so
/// that a tap sees every byte.
class StreamOut {
  public:
    StreamOut(DlChannel &channel, UploadTap *tap) : channel_(channel), tap_(tap) {}

    bool raw(std::span<const uint8_t> bytes) {
        return tap_ ? tap_->write(channel_, bytes) : channel_.write_raw(bytes);
    }
    bool name_field(std::string_view name) {
        uint8_t header[4];
        put_be32(header, static_cast<uint32_t>(name.size()));
        return raw(header) &&
               raw(std::span(reinterpret_cast<const uint8_t *>(name.data()), name.size()));
    }
    /// N = 1 + payload size, then the code byte.
    bool frame_header(uint32_t length, uint8_t code) {
        uint8_t header[5];
        put_be32(header, length);
        header[4] = code;
        return raw(header);
    }

  private:
    static void put_be32(uint8_t *out, uint32_t value) {
        out[0] = static_cast<uint8_t>(value >> 24);
        out[1] = static_cast<uint8_t>(value >> 16);
        out[2] = static_cast<uint8_t>(value >> 8);
        out[3] = static_cast<uint8_t>(value);
    }

    DlChannel &channel_;
    UploadTap *tap_;
};

bool write_closing_frame(StreamOut &out, const OutgoingFile &file) {
    if (file.close_code == kXferOk) {
        return out.frame_header(1, kXferOk);
    }
    const std::string text =
        file.error_text.empty() ? "the device could not read the file" : file.error_text;
    return out.frame_header(static_cast<uint32_t>(text.size() + 1), kXferDeviceError) &&
           out.raw(std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

/// One data frame of `block` bytes; *readable false when the source failed
/// before the frame went out.
bool write_data_frame(StreamOut &out, const OutgoingFile &file, uint64_t block,
                      std::vector<uint8_t> &piece, bool *readable) {
    // A frame that fits one piece is read before its header goes out, so a
    // source that fails never leaves announced bytes missing. Larger frames
    // (scripts may ask for them) are streamed, and a failure then drops
    // the link, as the stream cannot be kept in step.
    piece.resize(static_cast<std::size_t>(std::min<uint64_t>(block, kPiece)));
    if (block <= kPiece) {
        if (!file.read(piece)) {
            *readable = false;
            return true;
        }
        return out.frame_header(static_cast<uint32_t>(block + 1), kXferData) && out.raw(piece);
    }
    if (!out.frame_header(static_cast<uint32_t>(block + 1), kXferData)) {
        return false;
    }
    for (uint64_t done = 0; done < block;) {
        const std::size_t size = static_cast<std::size_t>(std::min<uint64_t>(kPiece, block - done));
        std::span<uint8_t> bytes(piece.data(), size);
        if (!file.read(bytes) || !out.raw(bytes)) {
            return false;
        }
        done += size;
    }
    return true;
}

}  // namespace

StreamStatus stream_cut_short(LinkStatus status, const std::string &what) {
    return status == LinkStatus::kTimeout ? StreamStatus::failed(what + " stopped short")
                                          : StreamStatus::gone();
}

bool write_upload_file(DlChannel &channel, const OutgoingFile &file, UploadTap *tap) {
    StreamOut out(channel, tap);
    if (!out.name_field(file.device_path) || !out.name_field(file.local_path)) {
        return false;
    }
    std::vector<uint8_t> piece;
    bool readable = true;
    for (uint64_t sent = 0; sent < file.size && readable;) {
        const uint64_t left = file.size - sent;
        const uint64_t block =
            std::min(left, file.next_block ? file.next_block(left) : kDefaultBlock);
        if (!write_data_frame(out, file, block, piece, &readable)) {
            return false;
        }
        sent += block;
    }
    if (!readable) {
        OutgoingFile failed{file.device_path, file.local_path, 0, {}, {}, kXferDeviceError,
                            file.error_text};
        return write_closing_frame(out, failed);
    }
    return write_closing_frame(out, file);
}

bool write_end_of_stream(DlChannel &channel, UploadTap *tap) {
    static constexpr uint8_t kEnd[4] = {0, 0, 0, 0};
    return StreamOut(channel, tap).raw(kEnd);
}

StreamStatus read_download_name(DlChannel &channel, std::optional<std::string> *name) {
    name->reset();
    uint32_t length = 0;
    if (LinkStatus status = channel.read_be32(&length); status != LinkStatus::kOk) {
        return stream_cut_short(status, "the host's file stream");
    }
    if (length == 0) {
        return StreamStatus::ok();
    }
    if (length > kMaxXferNameLength) {
        return StreamStatus::failed("the host sent a name of " + std::to_string(length) + " bytes");
    }
    std::string text(length, '\0');
    if (LinkStatus status =
            channel.read_raw(std::span(reinterpret_cast<uint8_t *>(text.data()), length));
        status != LinkStatus::kOk) {
        return stream_cut_short(status, "a name in the host's file stream");
    }
    *name = std::move(text);
    return StreamStatus::ok();
}

namespace {

StreamStatus read_data_payload(DlChannel &channel, const std::string &name, uint32_t payload,
                               uint64_t cap, const ContentSink &sink, IncomingFile *out) {
    if (out->size + payload > cap) {
        return StreamStatus::failed(in_quotes(name) + " is larger than the " +
                                    std::to_string(cap) + " bytes the device takes");
    }
    std::vector<uint8_t> piece;
    for (uint32_t done = 0; done < payload;) {
        piece.resize(std::min<std::size_t>(kPiece, payload - done));
        if (LinkStatus read = channel.read_raw(piece); read != LinkStatus::kOk) {
            return stream_cut_short(read, "the content of " + in_quotes(name));
        }
        if (StreamStatus taken = sink(piece); !taken.is_ok()) {
            return taken;
        }
        out->size += piece.size();
        done += static_cast<uint32_t>(piece.size());
    }
    return StreamStatus::ok();
}

StreamStatus read_error_text(DlChannel &channel, const std::string &name, uint32_t payload,
                             IncomingFile *out) {
    std::string text(payload, '\0');
    if (LinkStatus read =
            channel.read_raw(std::span(reinterpret_cast<uint8_t *>(text.data()), payload));
        read != LinkStatus::kOk) {
        return stream_cut_short(read, "the error text for " + in_quotes(name));
    }
    out->missing = true;
    out->error_text = std::move(text);
    return StreamStatus::ok();
}

}  // namespace

StreamStatus read_download_file(DlChannel &channel, const std::string &name, uint64_t cap,
                                const ContentSink &sink, IncomingFile *out) {
    *out = IncomingFile{};
    for (;;) {
        uint32_t length = 0;
        uint8_t code = 0;
        LinkStatus status = channel.read_be32(&length);
        if (status == LinkStatus::kOk && length > 0) {
            status = channel.read_raw(std::span(&code, 1));
        }
        if (status != LinkStatus::kOk) {
            return stream_cut_short(status, "the frames of " + in_quotes(name));
        }
        if (length == 0) {
            return StreamStatus::failed("the frames of " + in_quotes(name) +
                                        " ended with a zero length");
        }
        const uint32_t payload = length - 1;
        if (code == kXferData) {
            if (StreamStatus read = read_data_payload(channel, name, payload, cap, sink, out);
                !read.is_ok()) {
                return read;
            }
            continue;
        }
        if (code == kXferOk && payload == 0) {
            return StreamStatus::ok();
        }
        if (code == kXferHostError && payload <= kMaxHostErrorText) {
            return read_error_text(channel, name, payload, out);
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", code);
        return StreamStatus::failed("the host sent a frame with code " + std::string(hex) +
                                    " and length " + std::to_string(length) + " for " +
                                    in_quotes(name));
    }
}

}  // namespace tarvosim
