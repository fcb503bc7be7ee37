// Binary property lists built byte by byte, for the tests of the checks on
// property lists from outside: an honest writer cannot produce the hostile
// ones (shared containers, U+0000 in strings), so they are laid out here by
// hand. Header-only, shared by the test binaries of common/, libtarvo and the
// simulator.
#ifndef TARVO_TESTS_SUPPORT_HOSTILE_PLISTS_H
#define TARVO_TESTS_SUPPORT_HOSTILE_PLISTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::testing {

using Bytes = std::vector<uint8_t>;

inline void put_be(Bytes &out, uint64_t value, unsigned size) {
    for (unsigned i = size; i-- > 0;) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A marker whose low nibble holds `count`, or 0x?F and a 4-byte integer.
inline Bytes marker(unsigned type, uint64_t count) {
    Bytes out;
    if (count < 15) {
        out.push_back(static_cast<uint8_t>(type << 4 | count));
    } else {
        out.push_back(static_cast<uint8_t>(type << 4 | 0xF));
        out.push_back(0x12);
        put_be(out, count, 4);
    }
    return out;
}

inline Bytes ascii(const std::string &text) {
    Bytes out = marker(0x5, text.size());
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

inline Bytes utf16(const std::vector<uint16_t> &units) {
    Bytes out = marker(0x6, units.size());
    for (uint16_t unit : units) {
        put_be(out, unit, 2);
    }
    return out;
}

// An array (or, with `pairs`, a dictionary: keys then values) of references.
inline Bytes container(const std::vector<uint64_t> &refs, unsigned ref_size, bool pairs = false) {
    Bytes out = pairs ? marker(0xD, refs.size() / 2) : marker(0xA, refs.size());
    for (uint64_t ref : refs) {
        put_be(out, ref, ref_size);
    }
    return out;
}

inline constexpr uint8_t kTrue = 0x09;

// The objects (already encoded, references of `ref_size` bytes) with their
// offset table and trailer; object 0 is the top.
inline Bytes binary_plist(const std::vector<Bytes> &objects, unsigned ref_size) {
    Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint64_t> offsets;
    for (const Bytes &object : objects) {
        offsets.push_back(out.size());
        out.insert(out.end(), object.begin(), object.end());
    }
    const uint64_t table = out.size();
    const unsigned offset_size = table < 0x100 ? 1 : table < 0x10000 ? 2 : 4;
    for (uint64_t offset : offsets) {
        put_be(out, offset, offset_size);
    }
    out.insert(out.end(), 6, 0);
    out.push_back(static_cast<uint8_t>(offset_size));
    out.push_back(static_cast<uint8_t>(ref_size));
    put_be(out, objects.size(), 8);
    put_be(out, 0, 8);
    put_be(out, table, 8);
    return out;
}

// The list with object `index` moved to `offset`, which may lie inside
// another object: honest writers never overlap objects, hostile ones may.
inline Bytes repoint(Bytes plist, uint64_t index, uint64_t offset) {
    const std::size_t trailer = plist.size() - 32;
    const unsigned offset_size = plist[trailer + 6];
    uint64_t table = 0;
    for (int i = 0; i < 8; ++i) {
        table = table << 8 | plist[trailer + 24 + i];
    }
    for (unsigned i = 0; i < offset_size; ++i) {
        plist[table + index * offset_size + i] =
            static_cast<uint8_t>(offset >> (8 * (offset_size - 1 - i)));
    }
    return plist;
}

// ["DLMessageBogus", A1] with A(i) = [A(i+1), A(i+1)] and A(levels) empty:
// a few bytes per level, a tree that doubles with every level.
inline Bytes doubling_message(unsigned levels) {
    std::vector<Bytes> objects = {container({1, 2}, 1), ascii("DLMessageBogus")};
    for (unsigned i = 1; i <= levels; ++i) {
        const uint64_t next = i + 2;
        objects.push_back(i == levels ? container({}, 1) : container({next, next}, 1));
    }
    return binary_plist(objects, 1);
}

// An array of `count` references to one shared string, as honest writers
// share equal leaves: one node per reference byte.
inline Bytes shared_string_array(uint64_t count) {
    return binary_plist({container(std::vector<uint64_t>(count, 1), 1), ascii("same")}, 1);
}

// `depth` arrays, each holding the next, the last one empty.
inline Bytes nested_arrays(uint64_t depth) {
    std::vector<Bytes> objects;
    for (uint64_t i = 0; i < depth; ++i) {
        objects.push_back(i + 1 == depth ? container({}, 4) : container({i + 1}, 4));
    }
    return binary_plist(objects, 4);
}

// {key: true}, the key given encoded.
inline Bytes dict_with_key(const Bytes &key) {
    return binary_plist({container({1, 2}, 1, true), key, {kTrue}}, 1);
}

}  // namespace tarvo::testing

#endif
