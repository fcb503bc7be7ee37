// Fuzz target: the property-list frames the simulated device reads from the
// host (lockdown requests and the property-list services), a stream of them
// through read_plist_frame() over a socket pair, each request then turned
// into the simulator's one-line trace as its --debug output does.
#include "fuzz_support.h"
#include "message_log.h"
#include "plist_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo_fuzz::PreloadedSocket socket({data, size});
    if (!socket.ok()) {
        return 0;
    }
    tarvosim::ServiceSocket service_socket{UniqueFd(socket.take_near())};
    const tarvosim::FrameWaits waits{std::chrono::milliseconds(1000),
                                     std::chrono::milliseconds(1000)};
    for (;;) {
        PlistPtr request;
        const tarvosim::FrameStatus status =
            tarvosim::read_plist_frame(service_socket, waits, &request);
        if (status == tarvosim::FrameStatus::kOk) {
            tarvosim::describe_plist(request.get());
        } else if (status != tarvosim::FrameStatus::kMalformed) {
            return 0;
        }
    }
}
