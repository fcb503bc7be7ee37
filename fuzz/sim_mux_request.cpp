// Fuzz target: requests the simulated multiplexer daemon reads from its
// clients, through MuxDecoder. The decoder takes bytes as the socket gives
// them, so the same stream fed whole and fed one byte at a time must yield
// the same messages and end the same way.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "mux_wire.h"

namespace {

struct Outcome {
    std::vector<std::string> messages;  // tag and XML of each
    tarvosim::MuxDecodeResult end = tarvosim::MuxDecodeResult::kNeedMore;
};

std::string describe(const tarvosim::MuxMessage &message) {
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(message.payload.get(), &xml, &length);
    std::string text = std::to_string(message.tag) + ":" + (xml ? std::string(xml, length) : "");
    plist_to_xml_free(xml);
    return text;
}

// Takes every message the decoder has; false once it failed for good.
bool drain(tarvosim::MuxDecoder &decoder, Outcome *outcome) {
    for (;;) {
        tarvosim::MuxMessage message;
        const tarvosim::MuxDecodeResult result = decoder.next(&message);
        if (result != tarvosim::MuxDecodeResult::kMessage) {
            outcome->end = result;
            return result == tarvosim::MuxDecodeResult::kNeedMore;
        }
        tarvo_fuzz::fuzz_check(plist_get_node_type(message.payload.get()) == PLIST_DICT,
                               "a message carries a dictionary");
        outcome->messages.push_back(describe(message));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Outcome whole;
    tarvosim::MuxDecoder at_once;
    at_once.feed({data, size});
    drain(at_once, &whole);

    Outcome bytewise;
    tarvosim::MuxDecoder by_byte;
    for (size_t i = 0; i < size; ++i) {
        by_byte.feed({data + i, 1});
        if (!drain(by_byte, &bytewise)) {
            break;
        }
    }
    tarvo_fuzz::fuzz_check(whole.messages == bytewise.messages, "the same messages either way");
    tarvo_fuzz::fuzz_check(whole.end == bytewise.end, "the same end either way");
    return 0;
}
