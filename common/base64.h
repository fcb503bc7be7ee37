// Standard Base64 (RFC 4648, section 4) in one line, without line breaks,
// shared by the property-list text renderers.
#ifndef TARVO_COMMON_BASE64_H
#define TARVO_COMMON_BASE64_H

#include <cstddef>
#include <span>
#include <string>

namespace tarvo {

inline constexpr char base64_str[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Each group of 3 bytes gives 4 characters; a last group of 1 or 2 bytes is
// filled with zero bits and padded with '=' to 4 characters.
inline std::string base64_encode(std::span<const unsigned char> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += base64_str[(group >> 18) & 0x3F];
        out += base64_str[(group >> 12) & 0x3F];
        out += base64_str[(group >> 6) & 0x3F];
        out += base64_str[group & 0x3F];
    }
    std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned group = bytes[i] << 16;
        if (rest == 2) {
            group |= bytes[i + 1] << 8;
        }
        out += base64_str[(group >> 18) & 0x3F];
        out += base64_str[(group >> 12) & 0x3F];
        out += rest == 2 ? base64_str[(group >> 6) & 0x3F] : '=';
        out += '=';
    }
    return out;
}

}  // namespace tarvo

#endif
