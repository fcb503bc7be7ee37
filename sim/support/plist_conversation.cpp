/*
 * The request/answer loop shared by the plain plist services.
 */
#include "plist_conversation.h"

namespace tarvosim {

bool PlistConversation::receive(PlistPtr *request) {
    const FrameStatus status = read_plist_frame(
        socket_,
        FrameWaits{std::chrono::duration_cast<std::chrono::milliseconds>(kIdleWait),
                   std::chrono::duration_cast<std::chrono::milliseconds>(kFrameWait)},
        request);
    switch (status) {
        case FrameStatus::kOk:
            break;
        case FrameStatus::kClosed:
            return false;
        case FrameStatus::kIdle:
            note("connection dropped: idle too long");
            return false;
        case FrameStatus::kTimeout:
            note("connection dropped: a request stopped short");
            return false;
        case FrameStatus::kTooLarge:
            note("connection dropped: a request's length is zero or above the cap");
            return false;
        case FrameStatus::kMalformed:
            note("connection dropped: a request is no property list");
            return false;
        case FrameStatus::kError:
            return false;
    }
    log_.received(channel_, request->get());
    if (plist_get_node_type(request->get()) != PLIST_DICT) {
        note("connection dropped: request is not a dictionary");
        return false;
    }
    return true;
}

bool PlistConversation::send(plist_t message) {
    log_.sent(channel_, message);
    return write_plist_frame(socket_, message, encoding_, SteadyClock::now() + kFrameWait) ==
           SocketStatus::kOk;
}

}  // namespace tarvosim
