/*
 * The backup service: handshake, version exchange, default answers and the
 * backup script's steps, including the raw file streams of uploads and
 * downloads.
 */
#include "backup_service.h"

#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <variant>

#include "backup_script.h"
#include "device_link_messages.h"
#include "lockdown_server.h"
#include "plist_compare.h"
#include "plist_dict_walk.h"

namespace tarvosim {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kIdleWait = std::chrono::minutes(30);
constexpr milliseconds kFrameWait = std::chrono::seconds(10);
// For the host's answer to the version exchange and to each request that
// a status response must follow.
constexpr milliseconds kAnswerWait = std::chrono::seconds(60);
constexpr std::size_t kChunk = 32768;
// Error texts of the host's error frames; devices read them into a small buffer.
constexpr uint32_t kMaxHostErrorText = 32768;
constexpr std::size_t kMaxListedFiles = 1000;

std::optional<std::string> string_item(plist_t dict, const char *key) {
    plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    char *text = nullptr;
    plist_get_string_val(node, &text);
    std::string value = text ? text : "";
    std::free(text);
    return value;
}

std::string text_of(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return {};
    }
    char *text = nullptr;
    plist_get_string_val(node, &text);
    std::string value = text ? text : "";
    std::free(text);
    return value;
}

std::string in_quotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

/// One field of a CSV line, quoted when it must be.
std::string csv_field(const std::string &text) {
    if (text.find_first_of(",\"\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? "\"\"" : std::string(1, c);
    }
    return out + "\"";
}

/// What a step did: go on, end the exchange with a failed check, or stop
/// serving (the link is gone or the script dropped it).
struct StepResult {
    enum Kind { kNext, kFailed, kEnd } kind = kNext;
    std::string why;

    static StepResult next() { return {}; }
    static StepResult failed(std::string why) { return {kFailed, std::move(why)}; }
    static StepResult end() { return {kEnd, {}}; }
};

/// Data-frame sizes of one upload: the given sizes in order, the last repeating.
class BlockSizes {
  public:
    explicit BlockSizes(const std::vector<uint32_t> &sizes) : sizes_(sizes) {}
    uint64_t next(uint64_t left) {
        const uint64_t size =
            sizes_.empty() ? kDefaultUploadBlock : sizes_[std::min(index_++, sizes_.size() - 1)];
        return std::min(size, left);
    }

  private:
    const std::vector<uint32_t> &sizes_;
    std::size_t index_ = 0;
};

class BackupConnection : public SimService {
  public:
    BackupConnection(const ServiceContext &context, std::shared_ptr<NotificationHub> hub,
                     std::shared_ptr<AfcFolder> media)
        : context_(context), hub_(std::move(hub)), media_(std::move(media)) {}

    void serve(DeviceLink &link) override {
        link.enable_read_ahead();
        DlChannel channel(link, context_.log, context_.name, kIdleWait, kFrameWait);
        if (!handshake(channel)) {
            return;
        }
        for (;;) {
            PlistPtr message;
            const FrameStatus status = channel.receive(&message);
            if (status == FrameStatus::kMalformed || status == FrameStatus::kTooLarge) {
                note("connection dropped: not a device-link message");
            }
            if (status != FrameStatus::kOk || handle(channel, message.get()) == StepResult::kEnd) {
                return;
            }
        }
    }

  private:
    void note(const std::string &text) const { context_.log.note(context_.name, text); }

    bool handshake(DlChannel &channel) {
        const uint64_t major = context_.fixture.device_link_version;
        PlistPtr offer = dl_message("DLMessageVersionExchange");
        plist_array_append_item(offer.get(), plist_new_uint(major));
        plist_array_append_item(offer.get(), plist_new_uint(0));
        if (!channel.send(offer.get())) {
            return false;
        }
        PlistPtr answer;
        if (channel.receive(&answer, kAnswerWait) != FrameStatus::kOk) {
            note("connection dropped: no answer to the version exchange");
            return false;
        }
        plist_t verdict = plist_array_get_item(answer.get(), 1);
        plist_t echoed = plist_array_get_item(answer.get(), 2);
        uint64_t echoed_major = 0;
        if (echoed && plist_get_node_type(echoed) == PLIST_UINT) {
            plist_get_uint_val(echoed, &echoed_major);
        }
        if (dl_message_name(answer.get()) != "DLMessageVersionExchange" ||
            text_of(verdict) != "DLVersionsOk" || echoed_major != major) {
            note("connection dropped: the host did not accept device-link version " +
                 std::to_string(major));
            return false;
        }
        PlistPtr ready = dl_message("DLMessageDeviceReady");
        return channel.send(ready.get());
    }

    StepResult::Kind handle(DlChannel &channel, plist_t message) {
        const std::string name = dl_message_name(message).value_or("");
        if (name == "DLMessageDisconnect") {
            return StepResult::kEnd;
        }
        plist_t body = plist_array_get_item(message, 1);
        if (name != "DLMessageProcessMessage" || !body || plist_get_node_type(body) != PLIST_DICT) {
            note("ignored: " + name + " outside a scripted step");
            return StepResult::kNext;
        }
        const std::string request = string_item(body, "MessageName").value_or("");
        if (request == "Hello") {
            return answer_hello(channel, body) ? StepResult::kNext : StepResult::kEnd;
        }
        return answer_request(channel, request, body).kind;
    }

    bool answer_hello(DlChannel &channel, plist_t hello) {
        plist_t offered = plist_dict_get_item(hello, "SupportedProtocolVersions");
        std::optional<double> chosen;
        for (uint32_t i = 0; offered && plist_get_node_type(offered) == PLIST_ARRAY &&
                             i < plist_array_get_size(offered);
             ++i) {
            plist_t version = plist_array_get_item(offered, i);
            double value = 0;
            if (plist_get_node_type(version) != PLIST_REAL) {
                continue;
            }
            plist_get_real_val(version, &value);
            for (double accepted : context_.fixture.backup_protocol_versions) {
                if (std::fabs(accepted - value) < 1e-9 && (!chosen || value > *chosen)) {
                    chosen = value;
                }
            }
        }
        PlistPtr response = dl_message("DLMessageProcessMessage");
        plist_t body = plist_new_dict();
        plist_dict_set_item(body, "MessageName", plist_new_string("Response"));
        if (chosen) {
            plist_dict_set_item(body, "ErrorCode", plist_new_uint(0));
            plist_dict_set_item(body, "ProtocolVersion", plist_new_real(*chosen));
        } else {
            plist_dict_set_item(body, "ErrorCode", plist_new_uint(1));
            plist_dict_set_item(body, "ErrorDescription",
                                plist_new_string("no protocol version in common"));
        }
        plist_array_append_item(response.get(), body);
        return channel.send(response.get());
    }

    StepResult answer_request(DlChannel &channel, const std::string &request, plist_t body) {
        const BackupScript *script = context_.fixture.backup_script.get();
        auto found = script ? script->find(request) : BackupScript::const_iterator();
        if (script && found != script->end()) {
            request_body_ = body;
            StepResult result = run_steps(channel, request, found->second);
            request_body_ = nullptr;
            return result;
        }
        PlistPtr response;
        if (request == "Info") {
            response = dl_process_response(0, "", info_content());
        } else if (request == "List") {
            response = dl_process_response(0, "", list_content());
        } else {
            response = dl_process_response(kNoScriptForRequest,
                                           "tarvosim has no script for \"" + request +
                                               "\" (add it to the fixture's backup-script.plist)",
                                           "");
        }
        return channel.send(response.get()) ? StepResult::next() : StepResult::end();
    }

    StepResult run_steps(DlChannel &channel, const std::string &request,
                         const std::vector<ScriptStep> &steps) {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            StepResult result =
                std::visit([&](const auto &step) { return run(channel, step); }, steps[i]);
            if (result.kind == StepResult::kFailed) {
                const std::string why =
                    "\"" + request + "\" step " + std::to_string(i + 1) + ": " + result.why;
                note("script check failed: " + why);
                PlistPtr failure = dl_process_response(kScriptCheckFailed, why, "");
                return channel.send(failure.get()) ? result : StepResult::end();
            }
            if (result.kind == StepResult::kEnd) {
                return result;
            }
        }
        return StepResult::next();
    }

    StepResult run(DlChannel &channel, const SendStep &step) {
        return channel.send(step.message.get()) ? StepResult::next() : StepResult::end();
    }

    StepResult run(DlChannel &channel, const ExpectStatusStep &step) {
        return await_status(channel, step.code);
    }

    StepResult run(DlChannel &, const ExpectRequestStep &step) {
        std::optional<std::string> difference;
        for_each_dict_item(step.items.get(), [&](const std::string &key, plist_t wanted) {
            difference = first_difference(plist_dict_get_item(request_body_, key.c_str()), wanted,
                                          "the request's \"" + key + "\"");
            return !difference;
        });
        return difference ? StepResult::failed(*difference) : StepResult::next();
    }

    StepResult run(DlChannel &channel, const RawStep &step) {
        note("raw: " + std::to_string(step.bytes.size()) + " bytes");
        return channel.write_raw(step.bytes) ? StepResult::next() : StepResult::end();
    }

    StepResult run(DlChannel &, const NotifyStep &step) {
        const std::size_t relayed = hub_->post(step.name);
        note("notification \"" + step.name + "\" relayed to " + std::to_string(relayed) +
             " observer(s)");
        return StepResult::next();
    }

    StepResult run(DlChannel &channel, const SleepStep &step) {
        // Returns early when the connection hangs up, so a stopping
        // simulator never waits out a pause.
        pollfd entry{channel.link().fd(), 0, 0};
        ::poll(&entry, 1, static_cast<int>(step.ms));
        return StepResult::next();
    }

    StepResult run(DlChannel &channel, const DisconnectStep &) {
        note("disconnecting as scripted");
        channel.link().shut_down();
        return StepResult::end();
    }

    /// The host's next message must be a status response with `code`.
    StepResult await_status(DlChannel &channel, int32_t code) {
        PlistPtr message;
        const FrameStatus status = channel.receive(&message, kAnswerWait);
        if (status == FrameStatus::kIdle) {
            return StepResult::failed("no status response within " +
                                      std::to_string(kAnswerWait.count() / 1000) + " s");
        }
        if (status == FrameStatus::kMalformed) {
            return StepResult::failed("expected a status response with code " +
                                      std::to_string(code) +
                                      ", got something that is no device-link message");
        }
        if (status != FrameStatus::kOk) {
            return StepResult::end();
        }
        const std::string name = dl_message_name(message.get()).value_or("");
        if (name != "DLMessageStatusResponse") {
            return StepResult::failed("expected a status response with code " +
                                      std::to_string(code) + ", got " + name);
        }
        const std::optional<int32_t> got = signed_code_of(plist_array_get_item(message.get(), 1));
        if (!got) {
            return StepResult::failed("the status response has no integer code");
        }
        if (*got != code) {
            const std::string text = text_of(plist_array_get_item(message.get(), 2));
            return StepResult::failed("status code " + std::to_string(*got) +
                                      (text.empty() ? "" : " (" + in_quotes(text) + ")") +
                                      ", expected " + std::to_string(code));
        }
        return StepResult::next();
    }

    StepResult run(DlChannel &channel, const UploadFilesStep &step) {
        PlistPtr message = dl_message("DLMessageUploadFiles");
        plist_t paths = plist_new_array();
        for (const UploadFile &file : step.files) {
            plist_array_append_item(paths, plist_new_string(file.device_path.c_str()));
        }
        plist_array_append_item(message.get(), paths);
        plist_array_append_item(message.get(), plist_new_real(step.progress));
        plist_array_append_item(message.get(), plist_new_uint(step.total));
        if (!channel.send(message.get())) {
            return StepResult::end();
        }
        for (const UploadFile &file : step.files) {
            if (!send_file(channel, file)) {
                return StepResult::end();
            }
        }
        static constexpr uint8_t kEndOfStream[4] = {0, 0, 0, 0};
        if (!channel.write_raw(kEndOfStream)) {
            return StepResult::end();
        }
        return await_status(channel, step.expect_code);
    }

    bool send_file(DlChannel &channel, const UploadFile &file) {
        note("uploading " + in_quotes(file.device_path) + " as " + in_quotes(file.local_path) +
             ", " + std::to_string(file.content_size()) + " bytes");
        if (!channel.write_name_field(file.device_path) ||
            !channel.write_name_field(file.local_path)) {
            return false;
        }
        BlockSizes blocks(file.blocks);
        std::vector<uint8_t> chunk;
        uint64_t sent = 0;
        while (sent < file.content_size()) {
            const uint64_t block = blocks.next(file.content_size() - sent);
            if (!channel.write_frame_header(static_cast<uint32_t>(block + 1), kXferData)) {
                return false;
            }
            for (uint64_t done = 0; done < block;) {
                const std::size_t piece =
                    static_cast<std::size_t>(std::min<uint64_t>(kChunk, block - done));
                std::span<const uint8_t> bytes;
                if (file.data) {
                    bytes = std::span(*file.data).subspan(sent + done, piece);
                } else {
                    chunk.resize(piece);
                    fill_upload_pattern(sent + done, chunk);
                    bytes = chunk;
                }
                if (!channel.write_raw(bytes)) {
                    return false;
                }
                done += piece;
            }
            sent += block;
        }
        if (file.close_code == kXferOk) {
            return channel.write_frame_header(1, kXferOk);
        }
        const std::string text =
            file.error_text.empty() ? "the device could not read the file" : file.error_text;
        return channel.write_frame_header(static_cast<uint32_t>(text.size() + 1),
                                          kXferDeviceError) &&
               channel.write_raw(
                   std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
    }

    StepResult run(DlChannel &channel, const DownloadFilesStep &step) {
        PlistPtr message = dl_message("DLMessageDownloadFiles");
        plist_t paths = plist_new_array();
        for (const std::string &path : step.paths) {
            plist_array_append_item(paths, plist_new_string(path.c_str()));
        }
        plist_array_append_item(message.get(), paths);
        plist_array_append_item(message.get(), plist_new_dict());
        plist_array_append_item(message.get(), plist_new_real(step.progress));
        if (!channel.send(message.get())) {
            return StepResult::end();
        }
        bool any_missing = false;
        StepResult received = receive_downloads(channel, step, &any_missing);
        if (received.kind != StepResult::kNext) {
            return received;
        }
        // Files the host cannot supply make it answer "Multi status".
        return await_status(channel, any_missing ? -13 : 0);
    }

    /// Reads the host's file stream up to its terminating zero length,
    /// checking it against the step's expectations as it comes.
    StepResult receive_downloads(DlChannel &channel, const DownloadFilesStep &step,
                                 bool *any_missing) {
        for (std::size_t index = 0;; ++index) {
            uint32_t length = 0;
            if (LinkStatus status = channel.read_be32(&length); status != LinkStatus::kOk) {
                return cut_short(status, "the host's file stream");
            }
            if (length == 0) {
                if (step.expect && index < step.expect->size()) {
                    return StepResult::failed("the host sent " + std::to_string(index) + " of " +
                                              std::to_string(step.expect->size()) +
                                              " expected files");
                }
                return StepResult::next();
            }
            if (length > kMaxXferNameLength) {
                return StepResult::failed("the host sent a name of " + std::to_string(length) +
                                          " bytes");
            }
            std::string name(length, '\0');
            if (LinkStatus status =
                    channel.read_raw(std::span(reinterpret_cast<uint8_t *>(name.data()), length));
                status != LinkStatus::kOk) {
                return cut_short(status, "a name in the host's file stream");
            }
            const ExpectedDownload *expected = nullptr;
            if (step.expect) {
                if (index >= step.expect->size()) {
                    return StepResult::failed("the host sent " + in_quotes(name) + " beyond the " +
                                              std::to_string(step.expect->size()) +
                                              " expected files");
                }
                expected = &(*step.expect)[index];
                if (expected->path != name) {
                    return StepResult::failed("the host sent " + in_quotes(name) + ", expected " +
                                              in_quotes(expected->path));
                }
            }
            bool missing = false;
            StepResult file = receive_download(channel, name, expected, &missing);
            if (file.kind != StepResult::kNext) {
                return file;
            }
            *any_missing = *any_missing || missing;
        }
    }

    static StepResult cut_short(LinkStatus status, const std::string &what) {
        // A host that is still there but silent fails the check; one that
        // left ends the exchange.
        return status == LinkStatus::kTimeout ? StepResult::failed(what + " stopped short")
                                              : StepResult::end();
    }

    /// One file's frames: data frames, then the OK frame or an error frame.
    StepResult receive_download(DlChannel &channel, const std::string &name,
                                const ExpectedDownload *expected, bool *missing) {
        uint64_t received = 0;
        std::vector<uint8_t> chunk;
        for (;;) {
            uint32_t length = 0;
            uint8_t code = 0;
            LinkStatus status = channel.read_be32(&length);
            if (status == LinkStatus::kOk && length > 0) {
                status = channel.read_raw(std::span(&code, 1));
            }
            if (status != LinkStatus::kOk) {
                return cut_short(status, "the frames of " + in_quotes(name));
            }
            if (length == 0) {
                return StepResult::failed("the frames of " + in_quotes(name) +
                                          " ended with a zero length");
            }
            const uint32_t payload = length - 1;
            if (code == kXferData) {
                for (uint32_t done = 0; done < payload;) {
                    chunk.resize(std::min<std::size_t>(kChunk, payload - done));
                    if (LinkStatus read = channel.read_raw(chunk); read != LinkStatus::kOk) {
                        return cut_short(read, "the content of " + in_quotes(name));
                    }
                    if (StepResult check = check_content(name, expected, received, chunk);
                        check.kind != StepResult::kNext) {
                        return check;
                    }
                    received += chunk.size();
                    done += static_cast<uint32_t>(chunk.size());
                }
                continue;
            }
            if (code == kXferOk && payload == 0) {
                if (expected && !expected->data) {
                    return StepResult::failed("the host sent " + in_quotes(name) +
                                              ", expected it missing");
                }
                if (expected && received != expected->data->size()) {
                    return StepResult::failed(in_quotes(name) + " has " + std::to_string(received) +
                                              " bytes, expected " +
                                              std::to_string(expected->data->size()));
                }
                return StepResult::next();
            }
            if (code == kXferHostError && payload <= kMaxHostErrorText) {
                std::string text(payload, '\0');
                if (LinkStatus read = channel.read_raw(
                        std::span(reinterpret_cast<uint8_t *>(text.data()), payload));
                    read != LinkStatus::kOk) {
                    return cut_short(read, "the error text for " + in_quotes(name));
                }
                note("the host reports " + in_quotes(name) + " missing: " + text);
                if (expected && expected->data) {
                    return StepResult::failed("the host reported " + in_quotes(name) +
                                              " missing (" + in_quotes(text) +
                                              "), expected its content");
                }
                *missing = true;
                return StepResult::next();
            }
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", code);
            return StepResult::failed("the host sent a frame with code " + std::string(hex) +
                                      " and length " + std::to_string(length) + " for " +
                                      in_quotes(name));
        }
    }

    static StepResult check_content(const std::string &name, const ExpectedDownload *expected,
                                    uint64_t offset, std::span<const uint8_t> chunk) {
        if (!expected) {
            return StepResult::next();
        }
        if (!expected->data) {
            return StepResult::failed("the host sent content for " + in_quotes(name) +
                                      ", expected it missing");
        }
        const std::vector<uint8_t> &wanted = *expected->data;
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            if (offset + i >= wanted.size()) {
                return StepResult::failed(in_quotes(name) + " is longer than the expected " +
                                          std::to_string(wanted.size()) + " bytes");
            }
            if (chunk[i] != wanted[offset + i]) {
                return StepResult::failed(in_quotes(name) +
                                          " differs from the expected content at byte " +
                                          std::to_string(offset + i));
            }
        }
        return StepResult::next();
    }

    /// A backup's properties as text, one "Name: value" line each.
    std::string info_content() const {
        PlistPtr global = device_global_domain(context_.fixture, context_.state);
        const std::pair<const char *, const char *> rows[] = {
            {"Device Name", "DeviceName"},           {"Display Name", "DeviceName"},
            {"Product Type", "ProductType"},         {"Product Version", "ProductVersion"},
            {"Build Version", "BuildVersion"},       {"Serial Number", "SerialNumber"},
            {"Unique Identifier", "UniqueDeviceID"}, {"Phone Number", "PhoneNumber"},
        };
        std::string text;
        for (const auto &[label, key] : rows) {
            if (std::optional<std::string> value = string_item(global.get(), key)) {
                text += std::string(label) + ": " + *value + "\n";
            }
        }
        text += "Target Identifier: " + context_.fixture.udid + "\n";
        text += "Is Encrypted: No\n";
        return text;
    }

    /// The device's files as CSV lines: domain, path, size.
    std::string list_content() const {
        namespace fs = std::filesystem;
        std::set<std::pair<std::string, uint64_t>> files{
            {"Library/Preferences/com.apple.springboard.plist", 2417},
            {"Library/SMS/sms.db", 3342336},
            {"Library/AddressBook/AddressBook.sqlitedb", 655360},
        };
        std::string error;
        const std::string root =
            media_->prepare(context_.fixture.dir, &error) ? media_->real_root() : std::string();
        std::set<std::pair<std::string, uint64_t>> media;
        std::error_code failure;
        if (!root.empty()) {
            for (fs::recursive_directory_iterator
                     it(root, fs::directory_options::skip_permission_denied, failure),
                 end;
                 !failure && it != end && media.size() < kMaxListedFiles; it.increment(failure)) {
                std::error_code ignored;
                if (it->is_regular_file(ignored) && !it->is_symlink(ignored)) {
                    media.emplace("Media/" + fs::relative(it->path(), root, ignored).string(),
                                  it->file_size(ignored));
                }
            }
        }
        std::string text = "Domain,Path,Size\n";
        for (const auto &[path, size] : files) {
            text += "HomeDomain," + csv_field(path) + "," + std::to_string(size) + "\n";
        }
        for (const auto &[path, size] : media) {
            text += "MediaDomain," + csv_field(path) + "," + std::to_string(size) + "\n";
        }
        return text;
    }

    const ServiceContext &context_;
    std::shared_ptr<NotificationHub> hub_;
    std::shared_ptr<AfcFolder> media_;
    // The dictionary of the request whose script runs; valid during it.
    plist_t request_body_ = nullptr;
};

}  // namespace

std::string check_escrow_bag(plist_t request, const TrustedHost &host) {
    plist_t bag = plist_dict_get_item(request, "EscrowBag");
    if (!bag || plist_get_node_type(bag) != PLIST_DATA) {
        return "EscrowLocked";
    }
    char *data = nullptr;
    uint64_t length = 0;
    plist_get_data_val(bag, &data, &length);
    const bool same = data && !host.escrow_bag.empty() && length == host.escrow_bag.size() &&
                      std::equal(host.escrow_bag.begin(), host.escrow_bag.end(),
                                 reinterpret_cast<const uint8_t *>(data));
    std::free(data);
    return same ? std::string() : "EscrowLocked";
}

ServiceDefinition backup_service_definition(std::shared_ptr<NotificationHub> hub,
                                            std::shared_ptr<AfcFolder> media) {
    ServiceDefinition definition;
    definition.name = kBackupService;
    definition.use_tls = false;
    definition.check_start = check_escrow_bag;
    definition.create = [hub, media](const ServiceContext &context) -> std::unique_ptr<SimService> {
        return std::make_unique<BackupConnection>(context, hub, media);
    };
    return definition;
}

}  // namespace tarvosim
