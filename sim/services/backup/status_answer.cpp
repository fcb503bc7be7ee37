/*
 * Waiting for and reading the host's status responses.
 */
#include "status_answer.h"

#include <cstdlib>

namespace tarvosim {
namespace {

std::string text_of(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return {};
    }
    char *text = nullptr;
    plist_get_string_val(node, &text);
    std::string value = text ? text : "";
    std::free(text);
    return value == kDlEmptyParameter ? std::string() : value;
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
        return StreamStatus::failed("expected a status response, got something that is no "
                                    "device-link message");
    }
    if (status != FrameStatus::kOk) {
        return StreamStatus::gone();
    }
    const std::string name = dl_message_name(message.get()).value_or("");
    if (name != "DLMessageStatusResponse") {
        return StreamStatus::failed("expected a status response, got " + name);
    }
    const std::optional<int32_t> code = signed_code_of(plist_array_get_item(message.get(), 1));
    if (!code) {
        return StreamStatus::failed("the status response has no integer code");
    }
    out->code = *code;
    out->text = text_of(plist_array_get_item(message.get(), 2));
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
