/*
 * Waiting for and reading the host's status responses.
 */
#include "status_answer.h"

#include "plist_items.h"

namespace tarvosim {
namespace {

/// The status text, empty when missing or the empty-parameter string.
std::string status_text(plist_t message) {
    std::string text = tarvo::string_at(message, 2).value_or("");
    return text == dl::kEmptyParameter ? std::string() : text;
}

}  // namespace

StreamStatus await_status_answer(DlChannel &channel, StatusAnswer *out) {
    PlistPtr message;
    const FrameStatus status = channel.receive(&message, kStatusWait);
    if (status == FrameStatus::kIdle) {
        return StreamStatus::failed("no status response within " +
                                    std::to_string(kStatusWait.count() / 1000) + " s");
    }
    if (status == FrameStatus::kMalformed) {
        return StreamStatus::failed(
            "expected a status response, got something that is no "
            "device-link message");
    }
    if (status != FrameStatus::kOk) {
        return StreamStatus::gone();
    }
    const std::string name = dl_message_name(message.get()).value_or("");
    if (name != dl::kStatusResponse) {
        return StreamStatus::failed("expected a status response, got " + name);
    }
    const std::optional<int32_t> code = signed_code_of(plist_array_get_item(message.get(), 1));
    if (!code) {
        return StreamStatus::failed("the status response has no integer code");
    }
    out->code = *code;
    out->text = status_text(message.get());
    plist_t value = plist_array_get_item(message.get(), 3);
    out->value.reset(value ? plist_copy(value) : nullptr);
    return StreamStatus::ok();
}

StreamStatus await_status_code(DlChannel &channel, int32_t code) {
    StatusAnswer answer;
    if (StreamStatus got = await_status_answer(channel, &answer); !got.is_ok()) {
        if (got.kind == StreamStatus::kFailed && got.why.starts_with("expected a status")) {
            got.why = "expected a status response with code " + std::to_string(code) +
                      got.why.substr(std::string("expected a status response").size());
        }
        return got;
    }
    if (answer.code != code) {
        return StreamStatus::failed("status code " + std::to_string(answer.code) +
                                    (answer.text.empty() ? "" : " (\"" + answer.text + "\")") +
                                    ", expected " + std::to_string(code));
    }
    return StreamStatus::ok();
}

}  // namespace tarvosim
