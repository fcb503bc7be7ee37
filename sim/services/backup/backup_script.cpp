/*
 * Loading and checking backup scripts. A script is written by hand, so
 * every refusal names the file, the request, the step and what was wanted.
 */
#include "backup_script.h"

#include <sys/stat.h>

#include <array>
#include <fstream>
#include <iterator>
#include <limits>
#include <string_view>

#include "plist_dict_walk.h"
#include "plist_items.h"
#include "plist_untrusted.h"

namespace tarvosim {
namespace {

// Scripts are hand-written; anything larger is a mistake.
constexpr std::size_t kMaxScriptFileSize = 8 * 1024 * 1024;
constexpr uint64_t kMaxBlockSize = std::numeric_limits<uint32_t>::max() - 1;  // N = size + 1
constexpr uint64_t kMaxUploadSize = uint64_t{1} << 50;

constexpr std::array<std::string_view, 9> kActions{
    "Send",   "ExpectStatus", "UploadFiles", "DownloadFiles", "Raw",
    "Notify", "SleepMs",      "Disconnect",  "ExpectRequest",
};

std::string joined(std::span<const std::string_view> names) {
    std::string text;
    for (std::string_view name : names) {
        text += text.empty() ? "" : ", ";
        text += name;
    }
    return text;
}

bool is_type(plist_t node, plist_type type) {
    return node && plist_get_node_type(node) == type;
}

class ScriptReader {
  public:
    explicit ScriptReader(std::string file) : file_(std::move(file)) {}

    bool read(plist_t root, BackupScript *out, std::string *error) {
        if (!is_type(root, PLIST_DICT)) {
            *error = file_ + ": the property list must be a dictionary of request names";
            return false;
        }
        BackupScript script;
        bool ok = true;
        for_each_dict_item(root, [&](const std::string &request, plist_t steps) {
            request_ = request;
            step_ = 0;
            ok = read_request(steps, &script[request]);
            return ok;
        });
        if (!ok) {
            *error = error_;
            return false;
        }
        *out = std::move(script);
        return true;
    }

  private:
    bool fail(const std::string &what) {
        error_ = file_ + ": key \"" + request_ + "\": ";
        if (step_ > 0) {
            error_ +=
                "step " + std::to_string(step_) + (kind_.empty() ? "" : " (" + kind_ + ")") + ": ";
        }
        error_ += what;
        return false;
    }

    bool read_request(plist_t steps, std::vector<ScriptStep> *out) {
        if (request_.empty()) {
            return fail("a request name is empty");
        }
        if (!is_type(steps, PLIST_ARRAY)) {
            return fail("must be an array of steps");
        }
        for (uint32_t i = 0; i < plist_array_get_size(steps); ++i) {
            step_ = i + 1;
            kind_.clear();
            ScriptStep step;
            if (!read_step(plist_array_get_item(steps, i), &step)) {
                return false;
            }
            out->push_back(std::move(step));
        }
        return true;
    }

    bool read_step(plist_t dict, ScriptStep *out) {
        if (!is_type(dict, PLIST_DICT)) {
            return fail("must be a dictionary");
        }
        std::vector<std::string> actions;
        for_each_dict_item(dict, [&](const std::string &key, plist_t) {
            for (std::string_view action : kActions) {
                if (key == action) {
                    actions.push_back(key);
                }
            }
            return true;
        });
        if (actions.size() != 1) {
            return fail("needs exactly one of " + joined(kActions) + " (found " +
                        std::to_string(actions.size()) + ")");
        }
        kind_ = actions.front();
        if (!check_step_keys(dict)) {
            return false;
        }
        plist_t value = plist_dict_get_item(dict, kind_.c_str());
        if (kind_ == "Send") {
            return read_send(value, out);
        }
        if (kind_ == "ExpectStatus") {
            return read_expect_status(value, out);
        }
        if (kind_ == "ExpectRequest") {
            // An empty one checks nothing, which suits scripts made by code.
            if (!is_type(value, PLIST_DICT)) {
                return fail("\"ExpectRequest\" must be a dictionary of the request's items");
            }
            *out = ExpectRequestStep{PlistPtr(plist_copy(value))};
            return true;
        }
        if (kind_ == "UploadFiles") {
            return read_upload(dict, value, out);
        }
        if (kind_ == "DownloadFiles") {
            return read_download(dict, value, out);
        }
        if (kind_ == "Raw") {
            std::optional<std::vector<uint8_t>> bytes = tarvo::data_value(value);
            if (!bytes) {
                return fail("\"Raw\" must be data");
            }
            *out = RawStep{std::move(*bytes)};
            return true;
        }
        if (kind_ == "Notify") {
            std::optional<std::string> name = tarvo::string_value(value);
            if (!name || name->empty()) {
                return fail("\"Notify\" must be a notification name");
            }
            *out = NotifyStep{std::move(*name)};
            return true;
        }
        if (kind_ == "SleepMs") {
            const std::optional<uint64_t> ms = tarvo::uint_value(value);
            if (!ms || *ms > kMaxSleepMs) {
                return fail("\"SleepMs\" must be an integer from 0 to " +
                            std::to_string(kMaxSleepMs));
            }
            *out = SleepStep{*ms};
            return true;
        }
        if (!tarvo::bool_value(value).value_or(false)) {
            return fail("\"Disconnect\" must be true");
        }
        *out = DisconnectStep{};
        return true;
    }

    /// Besides its action, a step may hold only the keys its kind takes.
    bool check_step_keys(plist_t dict) {
        std::vector<std::string_view> allowed{kind_};
        if (kind_ == "UploadFiles") {
            allowed.insert(allowed.end(), {"Total", "Progress", "ExpectCode"});
        } else if (kind_ == "DownloadFiles") {
            allowed.insert(allowed.end(), {"Expect", "Progress"});
        }
        bool ok = true;
        for_each_dict_item(dict, [&](const std::string &key, plist_t) {
            bool known = false;
            for (std::string_view name : allowed) {
                known = known || key == name;
            }
            if (!known) {
                ok = fail("unknown key \"" + key + "\" (this step takes " + joined(allowed) + ")");
            }
            return ok;
        });
        return ok;
    }

    bool read_send(plist_t value, ScriptStep *out) {
        if (!is_type(value, PLIST_ARRAY) || plist_array_get_size(value) == 0 ||
            !is_type(plist_array_get_item(value, 0), PLIST_STRING)) {
            return fail("\"Send\" must be an array whose first element is the message name");
        }
        *out = SendStep{PlistPtr(plist_copy(value))};
        return true;
    }

    /// A status code as a fixture writes it: -2^31 to 2^31 - 1, or its
    /// 32-bit two's complement.
    bool read_code(plist_t node, const std::string &what, int32_t *code) {
        const std::optional<uint64_t> value = tarvo::uint_value(node);
        if (!value) {
            return fail(what + " must be an integer");
        }
        const uint64_t raw = *value;
        const auto as_signed = static_cast<int64_t>(raw);
        if (as_signed >= std::numeric_limits<int32_t>::min() &&
            as_signed <= std::numeric_limits<int32_t>::max()) {
            *code = static_cast<int32_t>(as_signed);
        } else if (raw <= std::numeric_limits<uint32_t>::max()) {
            *code = static_cast<int32_t>(static_cast<uint32_t>(raw));
        } else {
            return fail(what + " must fit in 32 bits");
        }
        return true;
    }

    bool read_expect_status(plist_t value, ScriptStep *out) {
        if (!is_type(value, PLIST_DICT)) {
            return fail("\"ExpectStatus\" must be a dictionary with \"Code\"");
        }
        bool ok = true;
        for_each_dict_item(value, [&](const std::string &key, plist_t) {
            ok = key == "Code" || fail("unknown key \"" + key + "\" in \"ExpectStatus\"");
            return ok;
        });
        ExpectStatusStep step;
        plist_t code = plist_dict_get_item(value, "Code");
        if (!ok || !code) {
            return ok && fail("\"ExpectStatus\" needs \"Code\"");
        }
        if (!read_code(code, "\"Code\"", &step.code)) {
            return false;
        }
        *out = step;
        return true;
    }

    bool read_progress(plist_t dict, double *progress) {
        plist_t node = plist_dict_get_item(dict, "Progress");
        if (!node) {
            return true;
        }
        if (is_type(node, PLIST_REAL)) {
            plist_get_real_val(node, progress);
        } else if (const std::optional<uint64_t> whole = tarvo::uint_value(node)) {
            *progress = static_cast<double>(static_cast<int64_t>(*whole));
        } else {
            return fail("\"Progress\" must be a number");
        }
        return true;
    }

    bool read_upload(plist_t dict, plist_t value, ScriptStep *out) {
        if (!is_type(value, PLIST_ARRAY)) {
            return fail("\"UploadFiles\" must be an array of files");
        }
        UploadFilesStep step;
        uint64_t sum = 0;
        for (uint32_t i = 0; i < plist_array_get_size(value); ++i) {
            UploadFile file;
            if (!read_upload_file(plist_array_get_item(value, i), "file " + std::to_string(i + 1),
                                  &file)) {
                return false;
            }
            sum += file.content_size();
            step.files.push_back(std::move(file));
        }
        step.total = sum;
        if (plist_t total = plist_dict_get_item(dict, "Total")) {
            const std::optional<uint64_t> value = tarvo::uint_value(total);
            if (!value) {
                return fail("\"Total\" must be an integer");
            }
            step.total = *value;
        }
        if (plist_t code = plist_dict_get_item(dict, "ExpectCode")) {
            if (!read_code(code, "\"ExpectCode\"", &step.expect_code)) {
                return false;
            }
        }
        if (!read_progress(dict, &step.progress)) {
            return false;
        }
        *out = std::move(step);
        return true;
    }

    bool read_upload_file(plist_t node, const std::string &where, UploadFile *file) {
        static constexpr std::array<std::string_view, 7> kKeys{
            "DevicePath", "LocalPath", "Data", "Size", "Blocks", "Close", "ErrorText",
        };
        if (!is_type(node, PLIST_DICT)) {
            return fail(where + ": must be a dictionary");
        }
        bool ok = true;
        for_each_dict_item(node, [&](const std::string &key, plist_t) {
            bool known = false;
            for (std::string_view name : kKeys) {
                known = known || key == name;
            }
            ok = known ||
                 fail(where + ": unknown key \"" + key + "\" (a file takes " + joined(kKeys) + ")");
            return ok;
        });
        if (!ok) {
            return false;
        }
        for (const char *key : {"DevicePath", "LocalPath"}) {
            std::optional<std::string> path = tarvo::string_item(node, key);
            if (!path) {
                return fail(where + ": needs \"" + key + "\" (a string)");
            }
            (std::string_view(key) == "DevicePath" ? file->device_path : file->local_path) =
                std::move(*path);
        }
        plist_t data = plist_dict_get_item(node, "Data");
        plist_t size = plist_dict_get_item(node, "Size");
        if ((data != nullptr) == (size != nullptr)) {
            return fail(where + ": needs either \"Data\" or \"Size\"");
        }
        if (data) {
            file->data = tarvo::data_value(data);
            if (!file->data) {
                return fail(where + ": \"Data\" must be data");
            }
        } else {
            const std::optional<uint64_t> value = tarvo::uint_value(size);
            if (!value || *value > kMaxUploadSize) {
                return fail(where + ": \"Size\" must be an integer from 0 to 2^50");
            }
            file->size = *value;
        }
        return read_blocks(plist_dict_get_item(node, "Blocks"), where, file) &&
               read_close(node, where, file);
    }

    bool read_blocks(plist_t blocks, const std::string &where, UploadFile *file) {
        if (!blocks) {
            return true;
        }
        const std::string wanted = where + ": \"Blocks\" must be a non-empty array of sizes from " +
                                   "1 to " + std::to_string(kMaxBlockSize);
        if (!is_type(blocks, PLIST_ARRAY) || plist_array_get_size(blocks) == 0) {
            return fail(wanted);
        }
        for (uint32_t i = 0; i < plist_array_get_size(blocks); ++i) {
            const std::optional<uint64_t> block =
                tarvo::uint_value(plist_array_get_item(blocks, i));
            if (!block || *block == 0 || *block > kMaxBlockSize) {
                return fail(wanted);
            }
            file->blocks.push_back(static_cast<uint32_t>(*block));
        }
        return true;
    }

    bool read_close(plist_t node, const std::string &where, UploadFile *file) {
        if (plist_t close = plist_dict_get_item(node, "Close")) {
            const std::optional<uint64_t> code = tarvo::uint_value(close);
            if (!code || (*code != 0 && *code != 11)) {
                return fail(where + ": \"Close\" must be 0 (complete) or 11 (device error)");
            }
            file->close_code = static_cast<uint8_t>(*code);
        }
        if (plist_t text_node = plist_dict_get_item(node, "ErrorText")) {
            std::optional<std::string> text = tarvo::string_value(text_node);
            if (!text) {
                return fail(where + ": \"ErrorText\" must be a string");
            }
            if (file->close_code != 11) {
                return fail(where + ": \"ErrorText\" goes with \"Close\" 11 only");
            }
            file->error_text = std::move(*text);
        }
        return true;
    }

    bool read_download(plist_t dict, plist_t value, ScriptStep *out) {
        if (!is_type(value, PLIST_ARRAY)) {
            return fail("\"DownloadFiles\" must be an array of paths");
        }
        DownloadFilesStep step;
        for (uint32_t i = 0; i < plist_array_get_size(value); ++i) {
            std::optional<std::string> path = tarvo::string_at(value, i);
            if (!path) {
                return fail("path " + std::to_string(i + 1) + " must be a string");
            }
            step.paths.push_back(std::move(*path));
        }
        if (plist_t expect = plist_dict_get_item(dict, "Expect")) {
            if (!is_type(expect, PLIST_ARRAY)) {
                return fail("\"Expect\" must be an array");
            }
            step.expect.emplace();
            for (uint32_t i = 0; i < plist_array_get_size(expect); ++i) {
                ExpectedDownload expected;
                if (!read_expected(plist_array_get_item(expect, i), i + 1, &expected)) {
                    return false;
                }
                step.expect->push_back(std::move(expected));
            }
        }
        if (!read_progress(dict, &step.progress)) {
            return false;
        }
        *out = std::move(step);
        return true;
    }

    bool read_expected(plist_t node, uint32_t index, ExpectedDownload *expected) {
        const std::string where = "expected file " + std::to_string(index);
        if (!is_type(node, PLIST_DICT)) {
            return fail(where + ": must be a dictionary");
        }
        bool ok = true;
        for_each_dict_item(node, [&](const std::string &key, plist_t) {
            ok = key == "Path" || key == "Data" || key == "Missing" ||
                 fail(where + ": unknown key \"" + key + "\" (one of Path, Data, Missing)");
            return ok;
        });
        if (!ok) {
            return false;
        }
        std::optional<std::string> path = tarvo::string_item(node, "Path");
        if (!path) {
            return fail(where + ": needs \"Path\" (a string)");
        }
        expected->path = std::move(*path);
        plist_t data = plist_dict_get_item(node, "Data");
        plist_t missing = plist_dict_get_item(node, "Missing");
        std::optional<std::vector<uint8_t>> bytes = tarvo::data_value(data);
        if ((data != nullptr) == (missing != nullptr) ||
            (missing && !tarvo::bool_value(missing).value_or(false)) || (data && !bytes)) {
            return fail(where + ": needs either \"Data\" (data) or \"Missing\" (true)");
        }
        expected->data = std::move(bytes);
        return true;
    }

    std::string file_;
    std::string request_;
    std::size_t step_ = 0;
    std::string kind_;
    std::string error_;
};

}  // namespace

bool parse_backup_script(plist_t root, const std::string &file, BackupScript *out,
                         std::string *error) {
    return ScriptReader(file).read(root, out, error);
}

bool load_backup_script(const std::string &fixture_dir, std::shared_ptr<const BackupScript> *out,
                        std::string *error) {
    const std::string file = fixture_dir + "/" + kBackupScriptFileName;
    out->reset();
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        return true;
    }
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxScriptFileSize) {
        *error = file + ": not a regular file of at most 8 MiB";
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad() || bytes.size() > kMaxScriptFileSize) {
        *error = file + ": cannot be read";
        return false;
    }
    PlistPtr root(tarvo::plist_from_untrusted_memory(bytes.data(), bytes.size()));
    if (!root) {
        *error = file + ": not a property list";
        return false;
    }
    auto script = std::make_shared<BackupScript>();
    if (!parse_backup_script(root.get(), file, script.get(), error)) {
        return false;
    }
    *out = std::move(script);
    return true;
}

void fill_upload_pattern(uint64_t offset, std::span<uint8_t> out) {
    uint64_t value = offset % 251;
    for (uint8_t &byte : out) {
        byte = static_cast<uint8_t>(value);
        value = value == 250 ? 0 : value + 1;
    }
}

}  // namespace tarvosim
