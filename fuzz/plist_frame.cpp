// Fuzz target: the property-list frames of lockdown and of the services
// started through it, a stream of them decoded one after another by
// decode_plist_frame() (the decoder behind the library's frame loop), each
// decoded list then written out as XML as the debug output does.
#include <cstdlib>

#include "libtarvo/plist_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    libtarvo::ByteReader reader({data, size}, libtarvo::kMaxPlistFrameBody);
    PlistPtr node;
    while (libtarvo::decode_plist_frame(reader, &node) == libtarvo::ReadResult::kOk) {
        char *xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(node.get(), &xml, &length);
        std::free(xml);
    }
    return 0;
}
