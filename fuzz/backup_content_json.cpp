// Fuzz target: the device's answers to info and list turned into JSON
// (info_content_to_json(), list_content_to_json()). Whatever the text, the
// result must be one JSON object that parses again, with a "files" array
// for a list.
#include <nlohmann/json.hpp>
#include <string_view>

#include "content_json.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const nlohmann::json info = nlohmann::json::parse(info_content_to_json(text), nullptr, false);
    tarvo_fuzz::fuzz_check(info.is_object(), "info gives one JSON object");
    const nlohmann::json list = nlohmann::json::parse(list_content_to_json(text), nullptr, false);
    tarvo_fuzz::fuzz_check(list.is_object() && list.contains("files") && list["files"].is_array(),
                           "list gives an object with a files array");
    return 0;
}
