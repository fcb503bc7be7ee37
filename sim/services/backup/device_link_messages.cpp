/*
 * Device-link framing and the raw file-transfer pieces for simulated devices.
 */
#include "device_link_messages.h"

#include "plist_items.h"

namespace tarvosim {

PlistPtr dl_message(const char *name) {
    PlistPtr message(plist_new_array());
    plist_array_append_item(message.get(), plist_new_string(name));
    return message;
}

std::optional<std::string> dl_message_name(plist_t message) {
    return tarvo::string_at(message, 0);
}

PlistPtr dl_process_response(uint64_t error_code, std::string_view description,
                             std::string_view content) {
    PlistPtr message = dl_message(dl::kProcessMessage);
    plist_t body = plist_new_dict();
    plist_dict_set_item(body, "MessageName", plist_new_string("Response"));
    plist_dict_set_item(body, "ErrorCode", plist_new_uint(error_code));
    if (!description.empty()) {
        plist_dict_set_item(body, "ErrorDescription",
                            plist_new_string(std::string(description).c_str()));
    }
    if (!content.empty()) {
        plist_dict_set_item(body, "Content", plist_new_string(std::string(content).c_str()));
    }
    plist_array_append_item(message.get(), body);
    return message;
}

std::optional<int32_t> signed_code_of(plist_t node) {
    const std::optional<uint64_t> value = tarvo::uint_value(node);
    if (!value) {
        return std::nullopt;
    }
    // Both widths of two's complement land on the same 32-bit value.
    return static_cast<int32_t>(static_cast<uint32_t>(*value));
}

bool DlChannel::send(plist_t message) {
    log_.sent(name_, message);
    return write_plist_frame(socket_, message, PlistEncoding::kBinary, frame_deadline()) ==
           SocketStatus::kOk;
}

FrameStatus DlChannel::receive(PlistPtr *message, std::optional<std::chrono::milliseconds> idle) {
    const FrameStatus status =
        read_plist_frame(socket_, FrameWaits{idle.value_or(idle_), frame_}, message);
    if (status != FrameStatus::kOk) {
        return status;
    }
    log_.received(name_, message->get());
    if (!dl_message_name(message->get())) {
        return FrameStatus::kMalformed;
    }
    return FrameStatus::kOk;
}

bool DlChannel::write_raw(std::span<const uint8_t> bytes) {
    return socket_.write_all(bytes, frame_deadline()) == SocketStatus::kOk;
}

bool DlChannel::write_name_field(std::string_view name) {
    const uint32_t length = static_cast<uint32_t>(name.size());
    const uint8_t header[4] = {static_cast<uint8_t>(length >> 24),
                               static_cast<uint8_t>(length >> 16),
                               static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    return write_raw(header) &&
           write_raw(std::span(reinterpret_cast<const uint8_t *>(name.data()), name.size()));
}

bool DlChannel::write_frame_header(uint32_t length, uint8_t code) {
    const uint8_t header[5] = {
        static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
        static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), code};
    return write_raw(header);
}

SocketStatus DlChannel::read_raw(std::span<uint8_t> out) {
    return socket_.read_exact(out, frame_deadline());
}

SocketStatus DlChannel::read_be32(uint32_t *value) {
    uint8_t bytes[4];
    const SocketStatus status = read_raw(bytes);
    if (status == SocketStatus::kOk) {
        *value = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                 static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
    }
    return status;
}

}  // namespace tarvosim
