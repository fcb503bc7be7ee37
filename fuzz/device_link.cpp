// Fuzz target: device-link messages as the backup service's client decodes
// them, a stream of frames through decode_device_link_frame(), each
// message's name and elements then read as the message loop reads them.
#include <string>

#include "fuzz_support.h"
#include "libtarvo/device_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    libtarvo::ByteReader reader({data, size}, libtarvo::kMaxDeviceLinkBody);
    PlistPtr message;
    std::string name;
    while (libtarvo::decode_device_link_frame(reader, &message, &name) ==
           libtarvo::ReadResult::kOk) {
        std::string again;
        tarvo_fuzz::fuzz_check(
            libtarvo::device_link_message_name(message.get(), &again) && again == name,
            "a decoded message keeps its name");
        for (uint32_t i = 1; i < plist_array_get_size(message.get()); ++i) {
            plist_t item = plist_array_get_item(message.get(), i);
            if (plist_get_node_type(item) == PLIST_DICT) {
                plist_dict_get_item(item, "MessageName");
            }
        }
    }
    return 0;
}
