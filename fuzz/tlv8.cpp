// Fuzz target: TLV8, the records of the wireless pairing messages. Whatever
// tlv8_decode() accepts must come back item for item when written again
// with Tlv8Writer and decoded once more.
#include "libtarvo/tlv8.h"
#include "fuzz_support.h"

namespace {

constexpr std::size_t kMaxItem = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<libtarvo::Tlv8Item> items;
    if (libtarvo::tlv8_decode({data, size}, kMaxItem, &items) != libtarvo::Tlv8Result::kOk) {
        tarvo_fuzz::fuzz_check(items.empty(), "a refused input leaves no items");
        return 0;
    }
    libtarvo::Tlv8Writer writer;
    for (const libtarvo::Tlv8Item &item : items) {
        tarvo_fuzz::fuzz_check(item.type != libtarvo::kTlv8Separator, "separators are dropped");
        writer.add(item.type, item.value);
        libtarvo::tlv8_find_unique(items, item.type);
    }
    std::vector<libtarvo::Tlv8Item> again;
    tarvo_fuzz::fuzz_check(
        libtarvo::tlv8_decode(writer.bytes(), kMaxItem, &again) == libtarvo::Tlv8Result::kOk,
        "what the writer writes decodes");
    tarvo_fuzz::fuzz_check(again.size() == items.size(), "as many items come back");
    for (std::size_t i = 0; i < items.size(); ++i) {
        tarvo_fuzz::fuzz_check(again[i].type == items[i].type && again[i].value == items[i].value,
                               "every item comes back as it was");
    }
    return 0;
}
