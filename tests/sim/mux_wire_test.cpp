// Framing of the multiplexer daemon's messages: encoder, incremental decoder
// and its answers to cut-short, oversized and malformed input.
#include "mux_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "../support/hostile_plists.h"

namespace tarvosim {
namespace {

std::vector<uint8_t> header(uint32_t length, uint32_t version, uint32_t type, uint32_t tag) {
    std::vector<uint8_t> out;
    for (uint32_t value : {length, version, type, tag}) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }
    return out;
}

/// A frame whose header announces exactly the body given.
std::vector<uint8_t> frame(uint32_t type, uint32_t tag, const std::string &body) {
    std::vector<uint8_t> out =
        header(static_cast<uint32_t>(kMuxHeaderSize + body.size()), 1, type, tag);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

PlistPtr sample_request() {
    PlistPtr dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "MessageType", plist_new_string("ReadPairRecord"));
    plist_dict_set_item(dict.get(), "PairRecordID", plist_new_string("00008030-0011"));
    return dict;
}

std::string xml_of(plist_t node) {
    char *xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(node, &xml, &size);
    std::string text(xml ? xml : "", size);
    plist_to_xml_free(xml);
    return text;
}

const char kArrayXml[] =
    "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><integer>1</integer></array></plist>";

TEST(MuxWire, EncodesLittleEndianHeaderAndRoundTrips) {
    PlistPtr request = sample_request();
    std::vector<uint8_t> bytes = mux_encode_plist(0x01020304, request.get());
    ASSERT_GT(bytes.size(), kMuxHeaderSize);
    EXPECT_EQ(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24,
              static_cast<int>(bytes.size()));
    EXPECT_EQ(bytes[4], 1);  // plist protocol version
    EXPECT_EQ(bytes[8], 8);  // plist message type
    EXPECT_EQ((std::vector<uint8_t>{bytes[12], bytes[13], bytes[14], bytes[15]}),
              (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01}));

    MuxDecoder decoder;
    decoder.feed(bytes);
    MuxMessage message;
    ASSERT_EQ(decoder.next(&message), MuxDecodeResult::kMessage);
    EXPECT_EQ(message.tag, 0x01020304u);
    EXPECT_EQ(xml_of(message.payload.get()), xml_of(request.get()));
    EXPECT_EQ(decoder.next(&message), MuxDecodeResult::kNeedMore);
    EXPECT_EQ(decoder.buffered(), 0u);
}

TEST(MuxWire, EncoderRefusesWhatIsNotADictionary) {
    PlistPtr array(plist_new_array());
    EXPECT_TRUE(mux_encode_plist(1, array.get()).empty());
    EXPECT_TRUE(mux_encode_plist(1, nullptr).empty());
}

TEST(MuxWire, SplitsBackToBackFramesFedOneByteAtATime) {
    PlistPtr request = sample_request();
    std::vector<uint8_t> stream = mux_encode_plist(1, request.get());
    std::vector<uint8_t> second = mux_encode_plist(2, request.get());
    stream.insert(stream.end(), second.begin(), second.end());

    MuxDecoder decoder;
    std::vector<uint32_t> tags;
    for (uint8_t byte : stream) {
        decoder.feed(std::span<const uint8_t>(&byte, 1));
        MuxMessage message;
        while (decoder.next(&message) == MuxDecodeResult::kMessage) {
            tags.push_back(message.tag);
        }
    }
    EXPECT_EQ(tags, (std::vector<uint32_t>{1, 2}));
}

TEST(MuxWire, EveryCutShortFrameNeedsMore) {
    PlistPtr request = sample_request();
    const std::vector<uint8_t> bytes = mux_encode_plist(7, request.get());
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        MuxDecoder decoder;
        decoder.feed(std::span<const uint8_t>(bytes.data(), cut));
        MuxMessage message;
        EXPECT_EQ(decoder.next(&message), MuxDecodeResult::kNeedMore) << "cut at " << cut;
    }
}

TEST(MuxWire, SkipsFramesOfUnknownTypes) {
    PlistPtr request = sample_request();
    std::vector<uint8_t> stream = frame(3, 9, "binary listen request");
    std::vector<uint8_t> plist_frame = mux_encode_plist(10, request.get());
    stream.insert(stream.end(), plist_frame.begin(), plist_frame.end());

    MuxDecoder decoder;
    decoder.feed(stream);
    MuxMessage message;
    ASSERT_EQ(decoder.next(&message), MuxDecodeResult::kMessage);
    EXPECT_EQ(message.tag, 10u);
    EXPECT_EQ(decoder.skipped_frames(), 1u);
}

TEST(MuxWire, HugeLengthIsRefusedFromTheHeaderAlone) {
    MuxDecoder decoder;
    decoder.feed(header(0xFFFFFFFF, 1, 8, 1));  // 4 GiB announced, no body sent
    MuxMessage message;
    EXPECT_EQ(decoder.next(&message), MuxDecodeResult::kTooLarge);
    EXPECT_EQ(decoder.buffered(), 0u);
}

TEST(MuxWire, ErrorsAreStickyBecauseFramingIsLost) {
    PlistPtr request = sample_request();
    MuxDecoder decoder;
    decoder.feed(frame(8, 1, "not a plist"));
    decoder.feed(mux_encode_plist(2, request.get()));
    MuxMessage message;
    EXPECT_EQ(decoder.next(&message), MuxDecodeResult::kMalformed);
    EXPECT_EQ(decoder.next(&message), MuxDecodeResult::kMalformed);
}

TEST(MuxWire, BadFramesTable) {
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        MuxDecodeResult expected;
    };
    std::vector<uint8_t> truncated_xml = frame(8, 1, "<?xml version=\"1.0\"?><plist><dict><key>A");
    const tarvo::testing::Bytes null_key_bytes =
        tarvo::testing::dict_with_key(tarvo::testing::ascii(std::string("MessageType\0", 12)));
    const std::string null_key_dictionary(null_key_bytes.begin(), null_key_bytes.end());
    const Case cases[] = {
        // a length that does not even cover the header
        {"length zero", header(0, 1, 8, 1), MuxDecodeResult::kMalformed},
        {"length fifteen", header(15, 1, 8, 1), MuxDecodeResult::kMalformed},
        // one byte over the cap, refused before its body arrives
        {"just over the cap", header(kMuxMaxMessageSize + 1, 1, 8, 1), MuxDecodeResult::kTooLarge},
        // a plist frame must carry a payload
        {"empty payload", frame(8, 1, ""), MuxDecodeResult::kMalformed},
        {"payload is text", frame(8, 1, "GET / HTTP/1.1\r\n\r\n"), MuxDecodeResult::kMalformed},
        {"payload is a cut XML plist", truncated_xml, MuxDecodeResult::kMalformed},
        // requests are dictionaries; anything else cannot be dispatched
        {"payload is an array", frame(8, 1, kArrayXml), MuxDecodeResult::kMalformed},
        {"payload is binary garbage", frame(8, 1, std::string("bplist00\xff\xff", 10)),
         MuxDecodeResult::kMalformed},
        // refused before the library parses it, as any untrusted list is
        {"payload is a dictionary whose key holds NUL", frame(8, 1, null_key_dictionary),
         MuxDecodeResult::kMalformed},
    };
    for (const Case &c : cases) {
        MuxDecoder decoder;
        decoder.feed(c.bytes);
        MuxMessage message;
        EXPECT_EQ(decoder.next(&message), c.expected) << c.what;
    }
}

TEST(MuxWire, PayloadTypeFollowsMessageTypeNotVersion) {
    // Version 0 is the old binary protocol's number; a plist message type
    // still means a plist payload.
    PlistPtr request = sample_request();
    std::vector<uint8_t> bytes = mux_encode_plist(4, request.get());
    bytes[4] = 0;
    MuxDecoder decoder;
    decoder.feed(bytes);
    MuxMessage message;
    EXPECT_EQ(decoder.next(&message), MuxDecodeResult::kMessage);
}

}  // namespace
}  // namespace tarvosim
