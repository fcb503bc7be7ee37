/*
 * Device-link framing, message builders and the channel's frame loop, which
 * reads frames as the property-list services do and decodes them here.
 */
#include "device_link.h"

#include <algorithm>

#include "debug.h"
#include "frame_receive.h"
#include "libtarvo/device_link_protocol.h"
#include "plist_frame.h"
#include "plist_items.h"

namespace libtarvo {
namespace {

// Raw reads go in pieces of this size at most, each with its own stall wait,
// so a long transfer that keeps moving never runs into a total deadline.
constexpr std::size_t kRawPiece = 64 * 1024;

}  // namespace

bool device_link_message_name(plist_t message, std::string *name) {
    std::optional<std::string> first = tarvo::string_at(message, 0);
    *name = first.value_or("");
    return first.has_value();
}

Status encode_device_link_frame(plist_t message, std::vector<uint8_t> *frame) {
    frame->clear();
    std::string name;
    if (!device_link_message_name(message, &name)) {
        return Status::kInvalidArg;
    }
    return encode_plist_frame(message, PlistFormat::kBinary, frame, kMaxDeviceLinkBody);
}

Status parse_device_link_body(std::span<const uint8_t> body, PlistPtr *message, std::string *name) {
    message->reset();
    name->clear();
    PlistPtr owned;
    if (parse_plist_body(body, &owned, kMaxDeviceLinkBody) != Status::kOk ||
        !device_link_message_name(owned.get(), name)) {
        return Status::kMalformed;
    }
    *message = std::move(owned);
    return Status::kOk;
}

ReadResult decode_device_link_frame(ByteReader &reader, PlistPtr *message, std::string *name) {
    message->reset();
    name->clear();
    ByteReader probe = reader;
    uint32_t length = 0;
    if (ReadResult r = probe.read_u32_be(&length); r != ReadResult::kOk) {
        return r;
    }
    if (length > kMaxDeviceLinkBody) {
        return ReadResult::kTooLarge;
    }
    std::span<const uint8_t> body;
    if (ReadResult r = probe.read_bytes(length, &body); r != ReadResult::kOk) {
        return r;
    }
    reader = probe;
    return parse_device_link_body(body, message, name) == Status::kOk ? ReadResult::kOk
                                                                      : ReadResult::kMalformed;
}

PlistPtr make_device_link_message(const char *name) {
    PlistPtr message(plist_new_array());
    plist_array_append_item(message.get(), plist_new_string(name));
    return message;
}

PlistPtr make_process_message(PlistPtr dictionary) {
    PlistPtr message = make_device_link_message(dl::kProcessMessage);
    plist_array_append_item(message.get(), dictionary.release());
    return message;
}

PlistPtr make_status_response(int32_t code, const char *text, plist_t value) {
    PlistPtr message = make_device_link_message(dl::kStatusResponse);
    // Integers travel unsigned; the device reads negative codes back from the
    // two's complement.
    const uint64_t wire_code = static_cast<uint64_t>(static_cast<int64_t>(code));
    plist_array_append_item(message.get(), plist_new_uint(wire_code));
    plist_array_append_item(message.get(),
                            plist_new_string(text ? text : kDeviceLinkEmptyParameter));
    plist_array_append_item(message.get(), value ? plist_copy(value) : plist_new_dict());
    return message;
}

PlistPtr make_versions_ok(uint64_t major) {
    PlistPtr message = make_device_link_message(dl::kVersionExchange);
    plist_array_append_item(message.get(), plist_new_string(dl::kVersionsOk));
    plist_array_append_item(message.get(), plist_new_uint(major));
    return message;
}

PlistPtr make_disconnect() {
    PlistPtr message = make_device_link_message(dl::kDisconnect);
    plist_array_append_item(message.get(), plist_new_string(kDeviceLinkEmptyParameter));
    return message;
}

Status DeviceLinkChannel::send(plist_t message, int timeout_ms) {
    std::vector<uint8_t> frame;
    if (Status s = encode_device_link_frame(message, &frame); s != Status::kOk) {
        return s;
    }
    debug_plist(Direction::kSent, name_, message);
    return connection_->send_all(frame, timeout_ms);
}

Status DeviceLinkChannel::receive(PlistPtr *message, std::string *name, int first_byte_ms,
                                  int completion_ms) {
    message->reset();
    name->clear();
    std::vector<uint8_t> frame;
    if (Status s = receive_length_prefixed_frame(*connection_, kMaxDeviceLinkBody,
                                                 FrameWaits{first_byte_ms, completion_ms}, &frame);
        s != Status::kOk) {
        if (s == Status::kTooLarge) {
            debug_note(name_, "refused a message above the size cap");
        }
        return s;
    }
    ByteReader reader(frame, kMaxDeviceLinkBody);
    if (decode_device_link_frame(reader, message, name) != ReadResult::kOk ||
        reader.expect_end() != ReadResult::kOk) {
        message->reset();
        name->clear();
        debug_note(name_, "received a message that is not a device-link message");
        return Status::kMalformed;
    }
    debug_plist(Direction::kReceived, name_, message->get());
    return Status::kOk;
}

Status DeviceLinkChannel::send_raw(std::span<const uint8_t> bytes, int timeout_ms) {
    debug_raw(Direction::kSent, name_, bytes.size());
    return connection_->send_all(bytes, timeout_ms);
}

Status DeviceLinkChannel::receive_raw(std::span<uint8_t> out, std::size_t *got, int first_byte_ms,
                                      int stall_ms) {
    *got = 0;
    if (out.empty()) {
        return Status::kOk;
    }
    if (Status s = connection_->receive_exact(out.first(1), first_byte_ms); s != Status::kOk) {
        return s;
    }
    std::size_t done = 1;
    while (done < out.size()) {
        const std::size_t piece = std::min(out.size() - done, kRawPiece);
        std::size_t filled = 0;
        if (Status s = connection_->receive_exact(out.subspan(done, piece), stall_ms, &filled);
            s != Status::kOk) {
            connection_->mark_broken();
            // What did arrive is the caller's: a text cut short is still
            // worth showing.
            done += filled;
            *got = done;
            debug_note(name_, std::string("raw data cut short after ") + std::to_string(done) +
                                  " bytes: " + status_name(s));
            return s;
        }
        done += piece;
    }
    *got = done;
    debug_raw(Direction::kReceived, name_, done);
    return Status::kOk;
}

}  // namespace libtarvo
