/*
 * Nesting bounds for XML and binary property lists, computed without
 * recursion over the bytes a peer sent.
 *
 * XML: we do not know every corner of the parser's grammar, so the estimate
 * is built to be never lower than the real depth. Every "<name" anywhere
 * counts as an opening (also inside comments, attribute values and
 * declarations, whose inner closings are ignored), skipped regions end at the
 * latest place any reasonable parser would end them, and only closings seen
 * in plain markup lower the count.
 *
 * Binary: the object table is exact, so the depth is the longest reference
 * chain from the top object, found with an explicit stack and memoised per
 * object; a reference cycle is refused.
 */
#include "plist_nesting.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace libtarvo {
namespace {

constexpr std::string_view kBinaryMagic = "bplist00";

bool is_name_start(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
}

class XmlDepthEstimate {
  public:
    XmlDepthEstimate(std::string_view text, unsigned max_depth) : text_(text), max_(max_depth) {}

    bool within() {
        std::size_t i = 0;
        while (!over_ && (i = text_.find('<', i)) != std::string_view::npos) {
            i = consume_markup(i);
        }
        return !over_;
    }

  private:
    // Returns the index just past the markup that starts at `lt`.
    std::size_t consume_markup(std::size_t lt) {
        std::string_view rest = text_.substr(lt);
        if (rest.starts_with("<!--")) {
            return skip_region(lt, 4, text_.find("-->", lt + 4), 3);
        }
        if (rest.starts_with("<![CDATA[")) {
            return skip_region(lt, 9, text_.find("]]>", lt + 9), 3);
        }
        if (rest.starts_with("<?")) {
            return skip_region(lt, 2, text_.find("?>", lt + 2), 2);
        }
        if (rest.starts_with("<!")) {
            return skip_region(lt, 2, find_declaration_end(lt + 2), 1);
        }
        if (rest.starts_with("</")) {
            std::size_t end = find_tag_end(lt + 2);
            add(count_openings(lt + 2, end));
            if (depth_ > 0) {
                --depth_;
            }
            return end == std::string_view::npos ? text_.size() : end + 1;
        }
        if (rest.size() > 1 && is_name_start(static_cast<uint8_t>(rest[1]))) {
            std::size_t end = find_tag_end(lt + 1);
            if (!is_plain_self_closing(lt, end)) {
                add(1 + count_openings(lt + 1, end));
            }
            return end == std::string_view::npos ? text_.size() : end + 1;
        }
        return lt + 1;  // a stray '<' the parser will reject
    }

    std::size_t skip_region(std::size_t lt, std::size_t opener_len, std::size_t end,
                            std::size_t closer_len) {
        add(count_openings(lt + opener_len, end));
        return end == std::string_view::npos ? text_.size() : end + closer_len;
    }

    // The '>' ending a tag, with quoted attribute values (either quote) skipped.
    std::size_t find_tag_end(std::size_t from) const {
        char quote = 0;
        for (std::size_t i = from; i < text_.size(); ++i) {
            char c = text_[i];
            if (quote) {
                quote = c == quote ? 0 : quote;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                return i;
            }
        }
        return std::string_view::npos;
    }

    // The '>' ending a declaration, with quotes and a bracketed subset skipped.
    std::size_t find_declaration_end(std::size_t from) const {
        char quote = 0;
        int brackets = 0;
        for (std::size_t i = from; i < text_.size(); ++i) {
            char c = text_[i];
            if (quote) {
                quote = c == quote ? 0 : quote;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                ++brackets;
            } else if (c == ']' && brackets > 0) {
                --brackets;
            } else if (c == '>' && brackets == 0) {
                return i;
            }
        }
        return std::string_view::npos;
    }

    // "<name .../>" without quotes or angle brackets inside: every parser
    // reads it as one empty element.
    bool is_plain_self_closing(std::size_t lt, std::size_t end) const {
        if (end == std::string_view::npos || end < lt + 2 || text_[end - 1] != '/') {
            return false;
        }
        std::string_view inner = text_.substr(lt + 1, end - 1 - (lt + 1));
        return inner.find_first_of("\"'<>") == std::string_view::npos;
    }

    unsigned count_openings(std::size_t from, std::size_t end) const {
        std::size_t stop = std::min(end, text_.size());
        unsigned count = 0;
        for (std::size_t i = from; i + 1 < stop; ++i) {
            if (text_[i] == '<' && is_name_start(static_cast<uint8_t>(text_[i + 1]))) {
                ++count;
            }
        }
        return count;
    }

    void add(unsigned openings) {
        if (openings > max_ || depth_ > max_ - openings) {
            over_ = true;
            return;
        }
        depth_ += openings;
    }

    std::string_view text_;
    unsigned max_;
    unsigned depth_ = 0;
    bool over_ = false;
};

// The parts of a binary list's trailer that locate its objects.
struct BinaryLayout {
    std::span<const uint8_t> bytes;
    unsigned offset_size = 0;
    unsigned ref_size = 0;
    uint64_t object_count = 0;
    uint64_t top_object = 0;
    uint64_t offset_table = 0;
};

constexpr std::size_t kTrailerSize = 32;

uint64_t read_be(std::span<const uint8_t> bytes, std::size_t at, unsigned size) {
    uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i) {
        value = (value << 8) | bytes[at + i];
    }
    return value;
}

bool parse_layout(std::span<const uint8_t> bytes, BinaryLayout *layout) {
    if (bytes.size() < kBinaryMagic.size() + kTrailerSize) {
        return false;
    }
    const std::size_t trailer = bytes.size() - kTrailerSize;
    layout->bytes = bytes;
    layout->offset_size = bytes[trailer + 6];
    layout->ref_size = bytes[trailer + 7];
    layout->object_count = read_be(bytes, trailer + 8, 8);
    layout->top_object = read_be(bytes, trailer + 16, 8);
    layout->offset_table = read_be(bytes, trailer + 24, 8);
    auto size_ok = [](unsigned s) { return s >= 1 && s <= 8; };
    if (!size_ok(layout->offset_size) || !size_ok(layout->ref_size) || layout->object_count == 0 ||
        layout->top_object >= layout->object_count || layout->offset_table < kBinaryMagic.size() ||
        layout->offset_table > trailer) {
        return false;
    }
    // Division instead of multiplication: the count comes from the peer.
    return layout->object_count <= (trailer - layout->offset_table) / layout->offset_size;
}

// The references held by one object: empty for scalars. False when the
// object's bytes are out of range or its count is not encoded as expected.
bool object_children(const BinaryLayout &l, uint64_t index, std::vector<uint64_t> *children) {
    children->clear();
    const std::size_t trailer = l.bytes.size() - kTrailerSize;
    uint64_t offset = read_be(l.bytes, l.offset_table + index * l.offset_size, l.offset_size);
    if (offset < kBinaryMagic.size() || offset >= l.offset_table) {
        return false;
    }
    const uint8_t marker = l.bytes[offset];
    const unsigned type = marker >> 4;
    // 0xA array, 0xB ordered set, 0xC set, 0xD dictionary (keys and values).
    if (type < 0xA || type > 0xD) {
        return true;
    }
    uint64_t count = marker & 0x0F;
    std::size_t pos = offset + 1;
    if (count == 0x0F) {
        if (pos >= trailer || (l.bytes[pos] >> 4) != 0x1) {
            return false;
        }
        unsigned int_size = 1u << (l.bytes[pos] & 0x0F);
        if (int_size > 8 || pos + 1 + int_size > trailer) {
            return false;
        }
        count = read_be(l.bytes, pos + 1, int_size);
        pos += 1 + int_size;
    }
    const uint64_t refs = type == 0xD ? count * 2 : count;
    if (count > trailer || refs > (trailer - pos) / l.ref_size) {
        return false;
    }
    children->reserve(refs);
    for (uint64_t i = 0; i < refs; ++i) {
        uint64_t child = read_be(l.bytes, pos + i * l.ref_size, l.ref_size);
        if (child >= l.object_count) {
            return false;
        }
        children->push_back(child);
    }
    return true;
}

bool binary_within(std::span<const uint8_t> bytes, unsigned max_depth) {
    BinaryLayout layout;
    if (!parse_layout(bytes, &layout)) {
        return false;
    }
    // depth_below[i]: 0 unvisited, kOnPath while on the current path, else 1 + longest chain.
    constexpr uint32_t kOnPath = UINT32_MAX;
    std::vector<uint32_t> depth_below(layout.object_count, 0);
    struct Frame {
        uint64_t object;
        std::vector<uint64_t> children;
        std::size_t next = 0;
        uint32_t deepest_child = 0;
    };
    std::vector<Frame> path;
    auto enter = [&](uint64_t object) {
        Frame frame{object, {}, 0, 0};
        if (!object_children(layout, object, &frame.children)) {
            return false;
        }
        depth_below[object] = kOnPath;
        path.push_back(std::move(frame));
        return path.size() <= max_depth;
    };
    if (!enter(layout.top_object)) {
        return false;
    }
    while (!path.empty()) {
        Frame &top = path.back();
        if (top.next == top.children.size()) {
            uint32_t depth = top.deepest_child + 1;
            depth_below[top.object] = depth;
            path.pop_back();
            if (!path.empty()) {
                path.back().deepest_child = std::max(path.back().deepest_child, depth);
            }
            continue;
        }
        uint64_t child = top.children[top.next++];
        uint32_t known = depth_below[child];
        if (known == kOnPath) {
            return false;  // a cycle
        }
        if (known != 0) {
            top.deepest_child = std::max(top.deepest_child, known);
            if (path.size() + known > max_depth) {
                return false;
            }
            continue;
        }
        if (!enter(child)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool plist_nesting_within(std::span<const uint8_t> body, unsigned max_depth) {
    if (body.size() >= kBinaryMagic.size() &&
        std::memcmp(body.data(), kBinaryMagic.data(), kBinaryMagic.size()) == 0) {
        return binary_within(body, max_depth);
    }
    std::string_view text(reinterpret_cast<const char *>(body.data()), body.size());
    return XmlDepthEstimate(text, max_depth).within();
}

}  // namespace libtarvo
