/*
 * The host's answer to a device-link request: ["DLMessageStatusResponse",
 * code, text, value]. Scripts check its code; the engine reads its value
 * (the free space, say).
 */
#ifndef TARVO_SIM_STATUS_ANSWER_H
#define TARVO_SIM_STATUS_ANSWER_H

#include <chrono>
#include <cstdint>
#include <string>

#include "file_stream.h"

namespace tarvosim {

/// For the host's answer to each request that a status response must follow.
inline constexpr std::chrono::milliseconds kStatusWait = std::chrono::seconds(60);

struct StatusAnswer {
    int32_t code = 0;
    std::string text;  // empty for the empty-parameter string
    PlistPtr value;    // element 3, or null
};

/// Waits (at most kStatusWait) for the host's next message, which must be
/// a status response with an integer code.
StreamStatus await_status_answer(DlChannel &channel, StatusAnswer *out);

/// The same, and its code must be `code`.
StreamStatus await_status_code(DlChannel &channel, int32_t code);

}  // namespace tarvosim

#endif
