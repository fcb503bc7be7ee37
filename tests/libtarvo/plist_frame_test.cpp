// The property-list frame decoder fed like a fuzzer would: a valid frame cut
// at every length, single-byte corruptions of a valid frame, and a table of
// hostile frames, each saying what is wrong with it. (The checks on untrusted
// property lists are tested at their own level in tests/common; here they
// are shown to guard every frame.)
#include "libtarvo/plist_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../support/hostile_plists.h"
#include "../support/plist_text.h"
#include "plist_untrusted.h"

namespace libtarvo {
namespace {

using tarvo::kMaxPlistNesting;
using tarvo::plist_body_is_safe;

PlistPtr sample_message() {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "Request", plist_new_string("GetValue"));
    plist_dict_set_item(dict.get(), "Port", plist_new_uint(49152));
    plist_dict_set_item(dict.get(), "EnableServiceSSL", plist_new_bool(1));
    plist_dict_set_item(dict.get(), "EscrowBag", plist_new_data("\x00\x01\x02\xff", 4));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("a <b> & c"));
    plist_array_append_item(list, plist_new_real(2.5));
    plist_dict_set_item(dict.get(), "List", list);
    return dict;
}

using plist_text::xml_of;

std::vector<uint8_t> frame_of(PlistFormat format) {
    PlistPtr message = sample_message();
    std::vector<uint8_t> frame;
    EXPECT_EQ(encode_plist_frame(message.get(), format, &frame), Status::kOk);
    return frame;
}

std::vector<uint8_t> framed(const std::vector<uint8_t> &body) {
    std::vector<uint8_t> frame = {
        static_cast<uint8_t>(body.size() >> 24), static_cast<uint8_t>(body.size() >> 16),
        static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

std::vector<uint8_t> bytes_of(const std::string &text) {
    return {text.begin(), text.end()};
}

ReadResult decode(std::span<const uint8_t> bytes, PlistPtr *node = nullptr) {
    PlistPtr scratch;
    ByteReader reader(bytes, kMaxPlistFrameBody);
    return decode_plist_frame(reader, node ? node : &scratch);
}

std::string repeated(const std::string &unit, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) {
        out += unit;
    }
    return out;
}

// "<plist>" + depth nested arrays (closed or not).
std::string nested_xml(std::size_t depth, bool closed) {
    std::string xml = "<plist>";
    for (std::size_t i = 0; i < depth; ++i) {
        xml += "<array>";
    }
    for (std::size_t i = 0; closed && i < depth; ++i) {
        xml += "</array>";
    }
    return closed ? xml + "</plist>" : xml;
}

void put_be(std::vector<uint8_t> &out, uint64_t value, unsigned size) {
    for (unsigned i = size; i-- > 0;) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A binary list of `depth` arrays each holding the next; the last holds the
// first again when `cycle` is set, else nothing.
std::vector<uint8_t> nested_binary(std::size_t depth, bool cycle) {
    std::vector<uint8_t> out(bytes_of("bplist00"));
    std::vector<uint64_t> offsets;
    for (std::size_t i = 0; i < depth; ++i) {
        offsets.push_back(out.size());
        const bool last = i + 1 == depth;
        if (last && !cycle) {
            out.push_back(0xA0);
        } else {
            out.push_back(0xA1);
            put_be(out, last ? 0 : i + 1, 4);
        }
    }
    const uint64_t table = out.size();
    for (uint64_t offset : offsets) {
        put_be(out, offset, 4);
    }
    out.insert(out.end(), 6, 0);
    out.push_back(4);  // offset size
    out.push_back(4);  // reference size
    put_be(out, depth, 8);
    put_be(out, 0, 8);  // top object
    put_be(out, table, 8);
    return out;
}

TEST(PlistFrame, RoundTripsXmlAndBinary) {
    for (PlistFormat format : {PlistFormat::kXml, PlistFormat::kBinary}) {
        std::vector<uint8_t> frame = frame_of(format);
        PlistPtr node;
        ASSERT_EQ(decode(frame, &node), ReadResult::kOk);
        EXPECT_EQ(xml_of(node.get()), xml_of(sample_message().get()));
    }
}

TEST(PlistFrame, EveryCutOfAValidFrameIsIncompleteAndConsumesNothing) {
    for (PlistFormat format : {PlistFormat::kXml, PlistFormat::kBinary}) {
        const std::vector<uint8_t> frame = frame_of(format);
        for (std::size_t cut = 0; cut < frame.size(); ++cut) {
            ByteReader reader(std::span<const uint8_t>(frame).first(cut), kMaxPlistFrameBody);
            PlistPtr node;
            ASSERT_EQ(decode_plist_frame(reader, &node), ReadResult::kIncomplete) << "cut " << cut;
            EXPECT_EQ(reader.consumed(), 0u);
            EXPECT_FALSE(node);
        }
    }
}

TEST(PlistFrame, BackToBackFramesDecodeOneAtATime) {
    std::vector<uint8_t> stream = frame_of(PlistFormat::kXml);
    const std::vector<uint8_t> second = frame_of(PlistFormat::kBinary);
    stream.insert(stream.end(), second.begin(), second.end());
    ByteReader reader(stream, kMaxPlistFrameBody);
    PlistPtr a, b;
    ASSERT_EQ(decode_plist_frame(reader, &a), ReadResult::kOk);
    ASSERT_EQ(decode_plist_frame(reader, &b), ReadResult::kOk);
    EXPECT_EQ(reader.expect_end(), ReadResult::kOk);
}

TEST(PlistFrame, CorruptingAnySingleByteNeverCrashes) {
    for (PlistFormat format : {PlistFormat::kXml, PlistFormat::kBinary}) {
        const std::vector<uint8_t> frame = frame_of(format);
        for (std::size_t at = kPlistFrameHeaderSize; at < frame.size(); ++at) {
            for (uint8_t value : {0x00, 0x0F, 0x7F, 0xAF, 0xDF, 0xFF}) {
                std::vector<uint8_t> bad = frame;
                bad[at] = value;
                ReadResult r = decode(bad);
                EXPECT_TRUE(r == ReadResult::kOk || r == ReadResult::kMalformed);
            }
        }
    }
}

TEST(PlistFrame, HostileFramesAreRefused) {
    struct Case {
        const char *what;
        std::vector<uint8_t> frame;
        ReadResult expected;
    };
    const std::vector<uint8_t> valid_binary = frame_of(PlistFormat::kBinary);
    std::vector<uint8_t> bad_offsets(valid_binary.begin() + 4, valid_binary.end());
    // Point the offset table past the end of the list.
    bad_offsets[bad_offsets.size() - 1] = 0xFF;
    bad_offsets[bad_offsets.size() - 2] = 0xFF;

    const Case cases[] = {
        {"a 4 GiB length with nothing after it", {0xFF, 0xFF, 0xFF, 0xFF}, ReadResult::kTooLarge},
        {"one byte above the 4 MiB cap, body absent",
         {0x00, 0x40, 0x00, 0x01},
         ReadResult::kTooLarge},
        {"an empty body", framed({}), ReadResult::kMalformed},
        {"text that is no property list", framed(bytes_of("hello, device")),
         ReadResult::kMalformed},
        {"only NUL bytes", framed(std::vector<uint8_t>(64, 0)), ReadResult::kMalformed},
        {"the binary magic and nothing else", framed(bytes_of("bplist00")), ReadResult::kMalformed},
        {"a binary list whose offset table lies outside it", framed(bad_offsets),
         ReadResult::kMalformed},
        {"an XML dictionary that is never closed",
         framed(bytes_of("<plist><dict><key>a</key><string>b</string>")), ReadResult::kMalformed},
        {"XML nested one level deeper than allowed (the plist element counts)",
         framed(bytes_of(nested_xml(kMaxPlistNesting, true))), ReadResult::kMalformed},
        {"XML nested deep enough to exhaust a stack", framed(bytes_of(nested_xml(500000, false))),
         ReadResult::kMalformed},
        {"closings hidden in comments do not lower the depth",
         framed(bytes_of("<plist>" + repeated("<array><!-- </array> -->", 300) +
                         repeated("</array>", 300) + "</plist>")),
         ReadResult::kMalformed},
        {"closings hidden in attribute values do not lower the depth",
         framed(bytes_of("<plist>" + repeated("<array a=\"></array>\">", 300) +
                         repeated("</array>", 300) + "</plist>")),
         ReadResult::kMalformed},
        {"a binary list nested deeper than allowed",
         framed(nested_binary(kMaxPlistNesting + 1, false)), ReadResult::kMalformed},
        {"a binary list nested deep enough to exhaust a stack",
         framed(nested_binary(400000, false)), ReadResult::kMalformed},
        {"a binary list whose arrays contain each other", framed(nested_binary(3, true)),
         ReadResult::kMalformed},
        {"a device-link message whose arrays name the same child twice, 24 levels",
         framed(tarvo::testing::doubling_message(24)), ReadResult::kMalformed},
        {"a lockdown reply whose key holds NUL",
         framed(tarvo::testing::dict_with_key(tarvo::testing::ascii(std::string("Key\0", 4)))),
         ReadResult::kMalformed},
        {"a UTF-16 string holding U+0000",
         framed(tarvo::testing::dict_with_key(tarvo::testing::utf16({0x0041, 0x0000}))),
         ReadResult::kMalformed},
        {"honest sharing: 100,000 references to one string",
         framed(tarvo::testing::shared_string_array(100000)), ReadResult::kOk},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(decode(c.frame), c.expected) << c.what;
    }
}

TEST(PlistNesting, AllowsExactlyTheLimit) {
    // nested_xml(n) has n arrays plus the <plist> element.
    EXPECT_TRUE(plist_body_is_safe(bytes_of(nested_xml(9, true)), 10));
    EXPECT_FALSE(plist_body_is_safe(bytes_of(nested_xml(10, true)), 10));
    EXPECT_TRUE(plist_body_is_safe(nested_binary(10, false), 10));
    EXPECT_FALSE(plist_body_is_safe(nested_binary(11, false), 10));
    // Siblings do not add up; self-closing elements open nothing.
    std::string wide = "<plist><array>";
    for (int i = 0; i < 1000; ++i) {
        wide += "<dict><key>k</key><true/></dict><array/>";
    }
    wide += "</array></plist>";
    EXPECT_TRUE(plist_body_is_safe(bytes_of(wide), 4));
}

TEST(PlistFrame, EncodeRefusesNull) {
    std::vector<uint8_t> frame = {1, 2, 3};
    EXPECT_EQ(encode_plist_frame(nullptr, PlistFormat::kXml, &frame), Status::kInvalidArg);
    EXPECT_TRUE(frame.empty());
}

}  // namespace
}  // namespace libtarvo
