/*
 * The checks on property-list bytes from outside, computed without recursion.
 *
 * XML: we do not know every corner of the parser's grammar, so the depth
 * estimate is built to be never lower than the real depth. Every "<name"
 * anywhere counts as an opening (also inside comments, attribute values and
 * declarations, whose inner closings are ignored), skipped regions end at the
 * latest place any reasonable parser would end them, and only closings seen
 * in plain markup lower the count. A raw NUL byte would reach a string as it
 * is (the parser refuses "&#0;" but not the byte, inside CDATA for one), so
 * none may come before the last '>'; after it, NULs are padding that some
 * peers send and the parser ignores.
 *
 * Binary: the object table is exact. One pass over the table checks every
 * object's place and every string's characters; then one walk from the top
 * object, with an explicit stack and memoised per object, finds the longest
 * reference chain and the size of the tree the parser would build, in nodes
 * and in bytes of data and strings (every reference counted, saturating
 * just above the caps). A reference cycle is refused. The work stays
 * proportional to the body however objects overlap (an honest list's never
 * do): each byte is scanned for NUL a few times at most, and references are
 * read no more times than the body has bytes.
 */
#include "plist_untrusted.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace tarvo {
namespace {

constexpr std::string_view kBinaryMagic = "bplist00";

// The caps on the bytes of data and strings in an expanded binary tree (see
// the header).
constexpr uint64_t kMinPayloadCap = 64 * 1024 * 1024;
constexpr uint64_t kPayloadCapPerByte = 16;

bool is_binary(std::span<const uint8_t> body) {
    return body.size() >= kBinaryMagic.size() &&
           std::memcmp(body.data(), kBinaryMagic.data(), kBinaryMagic.size()) == 0;
}

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
    // Apart from find_tag_end, which has no bracketed subset; each scan reads straight through.
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

bool xml_has_inner_nul(std::string_view text) {
    const std::size_t last_gt = text.rfind('>');
    return last_gt != std::string_view::npos &&
           text.substr(0, last_gt).find('\0') != std::string_view::npos;
}

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

// Object types by the high nibble of their marker.
constexpr unsigned kData = 0x4;
constexpr unsigned kAsciiString = 0x5;
constexpr unsigned kUtf16String = 0x6;
constexpr unsigned kDictionary = 0xD;

// 0xA array, 0xB ordered set, 0xC set, 0xD dictionary (keys and values).
bool is_container(unsigned type) {
    return type >= 0xA && type <= kDictionary;
}

// What the checks need of one object: its type and, for data, strings and
// containers, where its contents start, how many units (bytes, UTF-16 code
// units, references) they hold and how many bytes the parser copies out.
struct ObjectHead {
    unsigned type = 0;
    std::size_t contents = 0;
    uint64_t units = 0;
    uint64_t payload = 0;
};

// False when the object lies outside the objects' part of the list (between
// the magic and the offset table), or its count is not encoded as expected.
bool read_object_head(const BinaryLayout &l, uint64_t index, ObjectHead *head) {
    const uint64_t offset = read_be(l.bytes, l.offset_table + index * l.offset_size, l.offset_size);
    if (offset < kBinaryMagic.size() || offset >= l.offset_table) {
        return false;
    }
    const std::size_t end = l.offset_table;
    const uint8_t marker = l.bytes[offset];
    *head =
        ObjectHead{static_cast<unsigned>(marker >> 4), static_cast<std::size_t>(offset) + 1, 0, 0};
    const bool sized = head->type == kData || head->type == kAsciiString ||
                       head->type == kUtf16String || is_container(head->type);
    if (!sized) {
        return true;
    }
    uint64_t count = marker & 0x0F;
    std::size_t pos = head->contents;
    if (count == 0x0F) {
        if (pos >= end || (l.bytes[pos] >> 4) != 0x1) {
            return false;
        }
        unsigned int_size = 1u << (l.bytes[pos] & 0x0F);
        if (int_size > 8 || pos + 1 + int_size > end) {
            return false;
        }
        count = read_be(l.bytes, pos + 1, int_size);
        pos += 1 + int_size;
    }
    if (count > end) {
        return false;  // more than the whole list could hold; also keeps the products below small
    }
    const uint64_t units = head->type == kDictionary ? count * 2 : count;
    const unsigned unit_size = head->type == kUtf16String ? 2
                               : is_container(head->type) ? l.ref_size
                                                          : 1;
    if (units > (end - pos) / unit_size) {
        return false;
    }
    head->contents = pos;
    head->units = units;
    head->payload = is_container(head->type) ? 0 : units * unit_size;
    return true;
}

// Where a string's characters lie.
struct StringExtent {
    std::size_t start;
    uint64_t units;
    bool utf16;
};

// True when a string holds U+0000: the parser keeps a string's length apart
// from its characters, and the accessors assert that the two agree. Strings
// may overlap (an honest list's never do), so that no byte is scanned more
// than a few times they are taken in order of their start, each scan
// beginning where the earlier ones of its kind ended. UTF-16 code units are
// aligned to their string's start, so those scans keep apart by parity.
bool any_string_holds_nul(std::span<const uint8_t> bytes, std::vector<StringExtent> strings) {
    std::sort(strings.begin(), strings.end(),
              [](const StringExtent &a, const StringExtent &b) { return a.start < b.start; });
    std::size_t ascii_done = 0;
    std::size_t utf16_done[2] = {0, 0};
    for (const StringExtent &s : strings) {
        if (!s.utf16) {
            const std::size_t end = s.start + s.units;
            for (std::size_t i = std::max(s.start, ascii_done); i < end; ++i) {
                if (bytes[i] == 0) {
                    return true;
                }
            }
            ascii_done = std::max(ascii_done, end);
            continue;
        }
        std::size_t &done = utf16_done[s.start % 2];
        const std::size_t end = s.start + 2 * s.units;
        for (std::size_t i = std::max(s.start, done); i < end; i += 2) {
            if (bytes[i] == 0 && bytes[i + 1] == 0) {
                return true;
            }
        }
        done = std::max(done, end);
    }
    return false;
}

// What the parser builds for one object once every reference is expanded.
struct Expansion {
    uint32_t depth = 0;    // the longest reference chain, every object a level
    uint64_t nodes = 0;    // saturated just above the cap
    uint64_t payload = 0;  // bytes of data and strings, saturated just above the cap
};

struct Caps {
    unsigned depth;
    uint64_t nodes;
    uint64_t payload;
};

// Walks the tree from the top object, each object once: the expansion of an
// object already walked is remembered and added again wherever it is named.
bool tree_within(const BinaryLayout &l, const Caps &caps) {
    // done[i]: depth 0 while unvisited, kOnPath while on the current path (a
    // reference to it then closes a cycle), else the object's whole expansion.
    constexpr uint32_t kOnPath = UINT32_MAX;
    std::vector<Expansion> done(l.object_count);
    struct Frame {
        uint64_t object;
        std::size_t refs_at;
        uint64_t refs;
        uint64_t next;
        Expansion sum;  // this object and its children so far; depth is the deepest child's
    };
    std::vector<Frame> path;
    auto enter = [&](uint64_t object) {
        ObjectHead head;
        if (!read_object_head(l, object, &head) || head.payload > caps.payload) {
            return false;
        }
        const uint64_t refs = is_container(head.type) ? head.units : 0;
        path.push_back(Frame{object, head.contents, refs, 0, Expansion{0, 1, head.payload}});
        done[object].depth = kOnPath;
        return path.size() <= caps.depth;
    };
    // Adds a walked child to the frame on top; false once over a cap.
    auto add_child = [&](const Expansion &child) {
        Expansion &sum = path.back().sum;
        sum.depth = std::max(sum.depth, child.depth);
        sum.nodes = std::min(sum.nodes + child.nodes, caps.nodes + 1);
        sum.payload = std::min(sum.payload + child.payload, caps.payload + 1);
        return path.size() + child.depth <= caps.depth && sum.nodes <= caps.nodes &&
               sum.payload <= caps.payload;
    };
    if (!enter(l.top_object)) {
        return false;
    }
    // Each container's references are read once; more reads than the body
    // has bytes can only come from containers that overlap.
    uint64_t reads_left = l.bytes.size();
    while (!path.empty()) {
        Frame &top = path.back();
        if (top.next == top.refs) {
            Expansion finished = top.sum;
            finished.depth += 1;
            done[top.object] = finished;
            path.pop_back();
            if (!path.empty() && !add_child(finished)) {
                return false;
            }
            continue;
        }
        if (reads_left-- == 0) {
            return false;
        }
        const uint64_t child = read_be(l.bytes, top.refs_at + top.next * l.ref_size, l.ref_size);
        ++top.next;
        if (child >= l.object_count || done[child].depth == kOnPath) {
            return false;  // a dangling reference, or a cycle
        }
        if (done[child].depth != 0) {
            if (!add_child(done[child])) {
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

bool binary_is_safe(std::span<const uint8_t> bytes, unsigned max_depth) {
    BinaryLayout layout;
    if (!parse_layout(bytes, &layout)) {
        return false;
    }
    // Every string of the table, reachable or not: keys are strings too, and
    // an honest list holds nothing it does not use.
    std::vector<StringExtent> strings;
    for (uint64_t i = 0; i < layout.object_count; ++i) {
        ObjectHead head;
        if (!read_object_head(layout, i, &head)) {
            return false;
        }
        if (head.type == kAsciiString || head.type == kUtf16String) {
            strings.push_back(StringExtent{head.contents, head.units, head.type == kUtf16String});
        }
    }
    if (any_string_holds_nul(bytes, std::move(strings))) {
        return false;
    }
    const uint64_t size = bytes.size();
    return tree_within(layout,
                       Caps{max_depth, size, std::max(kMinPayloadCap, kPayloadCapPerByte * size)});
}

}  // namespace

bool plist_body_is_safe(std::span<const uint8_t> body, unsigned max_depth) {
    if (body.size() > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    if (is_binary(body)) {
        return binary_is_safe(body, max_depth);
    }
    std::string_view text(reinterpret_cast<const char *>(body.data()), body.size());
    return !xml_has_inner_nul(text) && XmlDepthEstimate(text, max_depth).within();
}

plist_t plist_from_untrusted_memory(std::span<const uint8_t> body) {
    if (body.size() < kBinaryMagic.size() || !plist_body_is_safe(body)) {
        return nullptr;
    }
    const char *data = reinterpret_cast<const char *>(body.data());
    const auto length = static_cast<uint32_t>(body.size());
    plist_t node = nullptr;
    if (is_binary(body)) {
        plist_from_bin(data, length, &node);
    } else {
        plist_from_xml(data, length, &node);
    }
    return node;
}

}  // namespace tarvo
