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
constexpr std::size_t kFrameHeaderSize = 5;  // N, then the code byte
const std::string kUnreadableText = "the device could not read the file";

std::string in_quotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

void put_frame_header(uint8_t *out, uint32_t length, uint8_t code) {
    out[0] = static_cast<uint8_t>(length >> 24);
    out[1] = static_cast<uint8_t>(length >> 16);
    out[2] = static_cast<uint8_t>(length >> 8);
    out[3] = static_cast<uint8_t>(length);
    out[4] = code;
}

}  // namespace

StreamStatus stream_cut_short(SocketStatus status, const std::string &what) {
    return status == SocketStatus::kTimeout ? StreamStatus::failed(what + " stopped short")
                                            : StreamStatus::gone();
}

UploadWriter::UploadWriter(DlChannel &channel, UploadTap *tap) : channel_(channel), tap_(tap) {}

bool UploadWriter::send(std::span<const uint8_t> bytes) {
    return tap_ ? tap_->write(channel_, bytes) : channel_.write_raw(bytes);
}

bool UploadWriter::flush() {
    const std::span<const uint8_t> pending(buffer_.data(), used_);
    used_ = 0;
    return pending.empty() || send(pending);
}

uint8_t *UploadWriter::room(std::size_t size) {
    if (buffer_.empty()) {
        buffer_.resize(kBufferSize);
    }
    if (used_ + size > buffer_.size() && !flush()) {
        return nullptr;
    }
    return buffer_.data() + used_;
}

bool UploadWriter::append(std::span<const uint8_t> bytes) {
    if (bytes.size() > kBufferSize / 2) {
        return flush() && send(bytes);
    }
    uint8_t *at = room(bytes.size());
    if (!at) {
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), at);
    used_ += bytes.size();
    return true;
}

bool UploadWriter::append_be32(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return append(bytes);
}

bool UploadWriter::append_name_field(std::string_view name) {
    return append_be32(static_cast<uint32_t>(name.size())) &&
           append(std::span(reinterpret_cast<const uint8_t *>(name.data()), name.size()));
}

bool UploadWriter::append_frame_header(uint32_t length, uint8_t code) {
    const uint8_t code_byte[1] = {code};
    return append_be32(length) && append(code_byte);
}

bool UploadWriter::append_closing_frame(const OutgoingFile &file, bool readable) {
    if (readable && file.close_code == dl::kXferOk) {
        return append_frame_header(1, dl::kXferOk);
    }
    const std::string &text = file.error_text.empty() ? kUnreadableText : file.error_text;
    return append_frame_header(static_cast<uint32_t>(text.size() + 1), dl::kXferDeviceError) &&
           append(std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

bool UploadWriter::append_data_frame(const OutgoingFile &file, uint64_t block, bool *readable) {
    // A frame that fits one piece is read, in place behind the room kept
    // for its header, before the header is written, so a source that fails
    // never leaves announced bytes missing. Larger frames (scripts may ask
    // for them) are streamed, and a failure then drops the link, as the
    // stream cannot be kept in step.
    if (block <= kPiece) {
        const std::size_t size = static_cast<std::size_t>(block);
        uint8_t *at = room(kFrameHeaderSize + size);
        if (!at) {
            return false;
        }
        if (!file.read(std::span(at + kFrameHeaderSize, size))) {
            *readable = false;
            return true;
        }
        put_frame_header(at, static_cast<uint32_t>(block + 1), dl::kXferData);
        used_ += kFrameHeaderSize + size;
        return true;
    }
    if (!append_frame_header(static_cast<uint32_t>(block + 1), dl::kXferData)) {
        return false;
    }
    for (uint64_t done = 0; done < block;) {
        const std::size_t size = static_cast<std::size_t>(std::min<uint64_t>(kPiece, block - done));
        uint8_t *at = room(size);
        if (!at) {
            return false;
        }
        if (!file.read(std::span(at, size))) {
            flush();
            return false;
        }
        used_ += size;
        done += size;
    }
    return true;
}

bool UploadWriter::write_file(const OutgoingFile &file) {
    if (!append_name_field(file.device_path) || !append_name_field(file.local_path)) {
        return false;
    }
    bool readable = true;
    for (uint64_t sent = 0; sent < file.size && readable;) {
        const uint64_t left = file.size - sent;
        const uint64_t block =
            std::min(left, file.next_block ? file.next_block(left) : kDefaultBlock);
        if (!append_data_frame(file, block, &readable)) {
            return false;
        }
        sent += block;
    }
    return append_closing_frame(file, readable);
}

bool UploadWriter::write_end() {
    return append_be32(0) && flush();
}

bool write_upload_file(DlChannel &channel, const OutgoingFile &file, UploadTap *tap) {
    UploadWriter writer(channel, tap);
    return writer.write_file(file) && writer.flush();
}

bool write_end_of_stream(DlChannel &channel, UploadTap *tap) {
    return UploadWriter(channel, tap).write_end();
}

StreamStatus read_download_name(DlChannel &channel, std::optional<std::string> *name) {
    name->reset();
    uint32_t length = 0;
    if (SocketStatus status = channel.read_be32(&length); status != SocketStatus::kOk) {
        return stream_cut_short(status, "the host's file stream");
    }
    if (length == 0) {
        return StreamStatus::ok();
    }
    if (length > dl::kMaxXferNameLength) {
        return StreamStatus::failed("the host sent a name of " + std::to_string(length) + " bytes");
    }
    std::string text(length, '\0');
    if (SocketStatus status =
            channel.read_raw(std::span(reinterpret_cast<uint8_t *>(text.data()), length));
        status != SocketStatus::kOk) {
        return stream_cut_short(status, "a name in the host's file stream");
    }
    *name = std::move(text);
    return StreamStatus::ok();
}

namespace {

StreamStatus read_data_payload(DlChannel &channel, const std::string &name, uint32_t payload,
                               uint64_t cap, const ContentSink &sink, std::vector<uint8_t> &piece,
                               IncomingFile *out) {
    if (out->size + payload > cap) {
        return StreamStatus::failed(in_quotes(name) + " is larger than the " + std::to_string(cap) +
                                    " bytes the device takes");
    }
    for (uint32_t done = 0; done < payload;) {
        piece.resize(std::min<std::size_t>(kPiece, payload - done));
        if (SocketStatus read = channel.read_raw(piece); read != SocketStatus::kOk) {
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
    if (SocketStatus read =
            channel.read_raw(std::span(reinterpret_cast<uint8_t *>(text.data()), payload));
        read != SocketStatus::kOk) {
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
    std::vector<uint8_t> piece;  // one buffer for all the file's frames
    for (;;) {
        uint32_t length = 0;
        uint8_t code = 0;
        SocketStatus status = channel.read_be32(&length);
        if (status == SocketStatus::kOk && length > 0) {
            status = channel.read_raw(std::span(&code, 1));
        }
        if (status != SocketStatus::kOk) {
            return stream_cut_short(status, "the frames of " + in_quotes(name));
        }
        if (length == 0) {
            return StreamStatus::failed("the frames of " + in_quotes(name) +
                                        " ended with a zero length");
        }
        const uint32_t payload = length - 1;
        if (code == dl::kXferData) {
            if (StreamStatus read =
                    read_data_payload(channel, name, payload, cap, sink, piece, out);
                !read.is_ok()) {
                return read;
            }
            continue;
        }
        if (code == dl::kXferOk && payload == 0) {
            return StreamStatus::ok();
        }
        if (code == dl::kXferHostError && payload <= kMaxHostErrorText) {
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
