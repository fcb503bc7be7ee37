// Fuzz target: the MBFile records of a backup's Manifest.db as the
// simulated device reads them back from the host (decode_mb_file()). A
// record it accepts must come back field for field when encoded again.
#include <cstdio>
#include <string_view>
#include <utility>

#include "fuzz_support.h"
#include "mb_file.h"

namespace {

// decode_mb_file() refuses archives longer than this.
constexpr std::size_t kMaxArchiveSize = 64 * 1024;

// The property-list writer turns text into UTF-16 and drops what does not
// decode, so only records whose strings are valid UTF-8 can come back whole.
bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// The first field in which the two differ, or null.
const char *first_difference(const tarvosim::MbFile &a, const tarvosim::MbFile &b) {
    const std::pair<const char *, bool> fields[] = {
        {"relative_path", a.relative_path == b.relative_path},
        {"size", a.size == b.size},
        {"mode", a.mode == b.mode},
        {"flags", a.flags == b.flags},
        {"user_id", a.user_id == b.user_id},
        {"group_id", a.group_id == b.group_id},
        {"inode", a.inode == b.inode},
        {"birth", a.birth == b.birth},
        {"last_modified", a.last_modified == b.last_modified},
        {"last_status_change", a.last_status_change == b.last_status_change},
        {"protection_class", a.protection_class == b.protection_class},
        {"encryption_key", a.encryption_key == b.encryption_key},
        {"target", a.target == b.target},
    };
    for (const auto &[name, equal] : fields) {
        if (!equal) {
            return name;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::optional<tarvosim::MbFile> file = tarvosim::decode_mb_file({data, size});
    if (!file) {
        return 0;
    }
    if (!valid_utf8(file->relative_path) || (file->target && !valid_utf8(*file->target))) {
        return 0;
    }
    const std::vector<uint8_t> encoded = tarvosim::encode_mb_file(*file);
    // Shared strings are written once each in the copy, so it may outgrow
    // the decoder's cap; only copies within it are compared.
    if (encoded.size() > kMaxArchiveSize) {
        return 0;
    }
    const std::optional<tarvosim::MbFile> again = tarvosim::decode_mb_file(encoded);
    tarvo_fuzz::fuzz_check(again.has_value(), "an encoded record decodes");
    if (const char *field = first_difference(*file, *again)) {
        std::fprintf(stderr, "the round trip changed %s\n", field);
        tarvo_fuzz::fuzz_check(false, "a record survives a round trip");
    }
    return 0;
}
