// Fuzz target: device-link messages the simulated device's backup service
// reads from the host (status responses, version answers, requests), a
// stream of them through DlChannel::receive() over a socket pair, each then
// read as the service reads answers: its name and its status code.
#include "device_link_messages.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo_fuzz::PreloadedSocket socket({data, size});
    if (!socket.ok()) {
        return 0;
    }
    tarvosim::ServiceSocket service_socket{UniqueFd(socket.take_near())};
    const tarvosim::MessageLog log(false, "fuzz");
    tarvosim::DlChannel channel(service_socket, log, "com.apple.mobilebackup2",
                                std::chrono::milliseconds(1000), std::chrono::milliseconds(1000));
    for (;;) {
        PlistPtr message;
        const tarvosim::FrameStatus status = channel.receive(&message);
        if (status == tarvosim::FrameStatus::kOk) {
            const std::optional<std::string> name = tarvosim::dl_message_name(message.get());
            tarvo_fuzz::fuzz_check(name.has_value(), "a received message has a name");
            tarvosim::signed_code_of(plist_array_get_item(message.get(), 1));
            tarvosim::describe_plist(message.get());
        } else if (status != tarvosim::FrameStatus::kMalformed) {
            return 0;
        }
    }
}
