// Fuzz target: AFC requests the simulated device's file conduit reads from
// the host, a stream of packets through read_afc_packet() over a socket
// pair, each packet's header data then taken apart with AfcArgs as the
// service does (handles and lengths, paths, a second path for renames).
#include <string>

#include "afc_packet.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo_fuzz::PreloadedSocket socket({data, size});
    if (!socket.ok()) {
        return 0;
    }
    tarvosim::ServiceSocket service_socket{UniqueFd(socket.take_near())};
    for (;;) {
        tarvosim::AfcPacket packet;
        if (tarvosim::read_afc_packet(service_socket, std::chrono::milliseconds(1000),
                                      std::chrono::milliseconds(1000),
                                      &packet) != tarvosim::AfcReadStatus::kOk) {
            return 0;
        }
        tarvo_fuzz::fuzz_check(
            packet.header_data.size() + packet.payload.size() + tarvosim::kAfcHeaderSize <=
                tarvosim::kMaxAfcPacketSize,
            "a packet stays within the cap");
        tarvosim::AfcArgs args(packet.header_data);
        uint64_t number = 0;
        std::string path;
        if (packet.operation == tarvosim::AfcOperation::kFileOpen) {
            args.u64(&number);
        }
        while (args.c_string(&path) || args.u64(&number)) {
        }
    }
}
