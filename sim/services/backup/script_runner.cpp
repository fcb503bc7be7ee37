/*
 * Carrying out the steps of a backup script, with their checks.
 */
#include "script_runner.h"

#include <poll.h>

#include <algorithm>
#include <variant>

#include "file_stream.h"
#include "plist_compare.h"
#include "plist_dict_walk.h"
#include "status_answer.h"

namespace tarvosim {
namespace {

std::string in_quotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

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

/// A scripted file's bytes, in order: its Data, or the upload pattern.
class ScriptedContent {
  public:
    explicit ScriptedContent(const UploadFile &file) : file_(file) {}
    bool read(std::span<uint8_t> out) {
        if (file_.data) {
            std::copy_n(file_.data->begin() + static_cast<std::ptrdiff_t>(offset_), out.size(),
                        out.begin());
        } else {
            fill_upload_pattern(offset_, out);
        }
        offset_ += out.size();
        return true;
    }

  private:
    const UploadFile &file_;
    uint64_t offset_ = 0;
};

/// Checks a download's content against the step's expectation as it comes.
class ContentCheck {
  public:
    ContentCheck(const std::string &name, const ExpectedDownload *expected)
        : name_(name), expected_(expected) {}

    StreamStatus take(std::span<const uint8_t> chunk) {
        if (!expected_) {
            return StreamStatus::ok();
        }
        if (!expected_->data) {
            return StreamStatus::failed("the host sent content for " + in_quotes(name_) +
                                        ", expected it missing");
        }
        const std::vector<uint8_t> &wanted = *expected_->data;
        for (std::size_t i = 0; i < chunk.size(); ++i, ++offset_) {
            if (offset_ >= wanted.size()) {
                return StreamStatus::failed(in_quotes(name_) + " is longer than the expected " +
                                            std::to_string(wanted.size()) + " bytes");
            }
            if (chunk[i] != wanted[offset_]) {
                return StreamStatus::failed(in_quotes(name_) +
                                            " differs from the expected content at byte " +
                                            std::to_string(offset_));
            }
        }
        return StreamStatus::ok();
    }

    /// After the closing frame: what was received against what was expected.
    StreamStatus finish(const IncomingFile &file) const {
        if (!expected_) {
            return StreamStatus::ok();
        }
        if (file.missing) {
            return expected_->data ? StreamStatus::failed(
                                         "the host reported " + in_quotes(name_) + " missing (" +
                                         in_quotes(file.error_text) + "), expected its content")
                                   : StreamStatus::ok();
        }
        if (!expected_->data) {
            return StreamStatus::failed("the host sent " + in_quotes(name_) +
                                        ", expected it missing");
        }
        if (file.size != expected_->data->size()) {
            return StreamStatus::failed(in_quotes(name_) + " has " + std::to_string(file.size) +
                                        " bytes, expected " +
                                        std::to_string(expected_->data->size()));
        }
        return StreamStatus::ok();
    }

  private:
    const std::string &name_;
    const ExpectedDownload *expected_;
    uint64_t offset_ = 0;
};

// Scripts may stream files of any size; the cap only guards the counter.
constexpr uint64_t kScriptDownloadCap = uint64_t{1} << 62;

class StepRunner {
  public:
    explicit StepRunner(const ScriptRun &run) : run_(run), channel_(run.channel) {}

    StreamStatus operator()(const SendStep &step) {
        return channel_.send(step.message.get()) ? StreamStatus::ok() : StreamStatus::gone();
    }

    StreamStatus operator()(const ExpectStatusStep &step) {
        return await_status_code(channel_, step.code);
    }

    StreamStatus operator()(const ExpectRequestStep &step) {
        std::optional<std::string> difference;
        for_each_dict_item(step.items.get(), [&](const std::string &key, plist_t wanted) {
            difference = first_difference(plist_dict_get_item(run_.request, key.c_str()), wanted,
                                          "the request's \"" + key + "\"");
            return !difference;
        });
        return difference ? StreamStatus::failed(*difference) : StreamStatus::ok();
    }

    StreamStatus operator()(const RawStep &step) {
        run_.note("raw: " + std::to_string(step.bytes.size()) + " bytes");
        return channel_.write_raw(step.bytes) ? StreamStatus::ok() : StreamStatus::gone();
    }

    StreamStatus operator()(const NotifyStep &step) {
        const std::size_t relayed = run_.hub.post(step.name);
        run_.note("notification \"" + step.name + "\" relayed to " + std::to_string(relayed) +
                  " observer(s)");
        return StreamStatus::ok();
    }

    StreamStatus operator()(const SleepStep &step) {
        // Returns early when the connection hangs up, so a stopping
        // simulator never waits out a pause.
        pollfd entry{channel_.socket().fd(), 0, 0};
        ::poll(&entry, 1, static_cast<int>(step.ms));
        return StreamStatus::ok();
    }

    StreamStatus operator()(const DisconnectStep &) {
        run_.note("disconnecting as scripted");
        channel_.socket().shut_down();
        return StreamStatus::gone();
    }

    StreamStatus operator()(const UploadFilesStep &step) {
        PlistPtr message = dl_message(dl::kUploadFiles);
        plist_t paths = plist_new_array();
        for (const UploadFile &file : step.files) {
            plist_array_append_item(paths, plist_new_string(file.device_path.c_str()));
        }
        plist_array_append_item(message.get(), paths);
        plist_array_append_item(message.get(), plist_new_real(step.progress));
        plist_array_append_item(message.get(), plist_new_uint(step.total));
        if (!channel_.send(message.get())) {
            return StreamStatus::gone();
        }
        for (const UploadFile &file : step.files) {
            if (!send_file(file)) {
                return StreamStatus::gone();
            }
        }
        if (!write_end_of_stream(channel_)) {
            return StreamStatus::gone();
        }
        return await_status_code(channel_, step.expect_code);
    }

    StreamStatus operator()(const DownloadFilesStep &step) {
        PlistPtr message = dl_message(dl::kDownloadFiles);
        plist_t paths = plist_new_array();
        for (const std::string &path : step.paths) {
            plist_array_append_item(paths, plist_new_string(path.c_str()));
        }
        plist_array_append_item(message.get(), paths);
        plist_array_append_item(message.get(), plist_new_dict());
        plist_array_append_item(message.get(), plist_new_real(step.progress));
        if (!channel_.send(message.get())) {
            return StreamStatus::gone();
        }
        bool any_missing = false;
        if (StreamStatus received = receive_downloads(step, &any_missing); !received.is_ok()) {
            return received;
        }
        // Files the host cannot supply make it answer "Multi status".
        return await_status_code(channel_, any_missing ? -13 : 0);
    }

  private:
    bool send_file(const UploadFile &file) {
        run_.note("uploading " + in_quotes(file.device_path) + " as " + in_quotes(file.local_path) +
                  ", " + std::to_string(file.content_size()) + " bytes");
        auto content = std::make_shared<ScriptedContent>(file);
        auto blocks = std::make_shared<BlockSizes>(file.blocks);
        OutgoingFile outgoing;
        outgoing.device_path = file.device_path;
        outgoing.local_path = file.local_path;
        outgoing.size = file.content_size();
        outgoing.read = [content](std::span<uint8_t> out) { return content->read(out); };
        outgoing.next_block = [blocks](uint64_t left) { return blocks->next(left); };
        outgoing.close_code = file.close_code;
        outgoing.error_text = file.error_text;
        return write_upload_file(channel_, outgoing);
    }

    /// Reads the host's file stream up to its terminating zero length,
    /// checking it against the step's expectations as it comes.
    StreamStatus receive_downloads(const DownloadFilesStep &step, bool *any_missing) {
        for (std::size_t index = 0;; ++index) {
            std::optional<std::string> name;
            if (StreamStatus got = read_download_name(channel_, &name); !got.is_ok()) {
                return got;
            }
            if (!name) {
                if (step.expect && index < step.expect->size()) {
                    return StreamStatus::failed("the host sent " + std::to_string(index) + " of " +
                                                std::to_string(step.expect->size()) +
                                                " expected files");
                }
                return StreamStatus::ok();
            }
            const ExpectedDownload *expected = nullptr;
            if (step.expect) {
                if (index >= step.expect->size()) {
                    return StreamStatus::failed(
                        "the host sent " + in_quotes(*name) + " beyond the " +
                        std::to_string(step.expect->size()) + " expected files");
                }
                expected = &(*step.expect)[index];
                if (expected->path != *name) {
                    return StreamStatus::failed("the host sent " + in_quotes(*name) +
                                                ", expected " + in_quotes(expected->path));
                }
            }
            ContentCheck check(*name, expected);
            IncomingFile file;
            StreamStatus read = read_download_file(
                channel_, *name, kScriptDownloadCap,
                [&check](std::span<const uint8_t> bytes) { return check.take(bytes); }, &file);
            if (read.is_ok()) {
                read = check.finish(file);
            }
            if (!read.is_ok()) {
                return read;
            }
            if (file.missing) {
                run_.note("the host reports " + in_quotes(*name) + " missing: " + file.error_text);
            }
            *any_missing = *any_missing || file.missing;
        }
    }

    const ScriptRun &run_;
    DlChannel &channel_;
};

}  // namespace

bool run_script(const ScriptRun &run, const std::string &request_name,
                const std::vector<ScriptStep> &steps) {
    StepRunner runner(run);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        StreamStatus result = std::visit(runner, steps[i]);
        if (result.kind == StreamStatus::kFailed) {
            const std::string why =
                "\"" + request_name + "\" step " + std::to_string(i + 1) + ": " + result.why;
            run.note("script check failed: " + why);
            PlistPtr failure = dl_process_response(kScriptCheckFailed, why, "");
            return run.channel.send(failure.get());
        }
        if (result.kind == StreamStatus::kGone) {
            return false;
        }
    }
    return true;
}

}  // namespace tarvosim
