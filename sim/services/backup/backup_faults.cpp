/*
 * Reading the backup engine's fault knobs (fixture section and override
 * file) and playing them during a request.
 */
#include "backup_faults.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine_requests.h"
#include "plist_dict_walk.h"
#include "plist_items.h"
#include "plist_untrusted.h"

namespace tarvosim {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// libplist keeps a negative integer as a huge unsigned one; counts this
// large are refused, which refuses negative ones too.
constexpr uint64_t kMaxCount = uint64_t{1} << 62;
constexpr uint64_t kMaxErrorCode = 0x7FFFFFFF;
constexpr std::size_t kMaxDescription = 4096;
// Override files are a few lines written by tests.
constexpr std::size_t kMaxOverrideFile = 1024 * 1024;
// A slow stream goes out in this many slices a second, and no sleep lasts
// longer than one slice's share, so the pace is smooth and every wait short.
constexpr uint64_t kSlicesPerSecond = 10;
constexpr auto kLongestSleep = 100ms;

constexpr const char *kDefaultFinalError = "the device failed after finishing the request";

// clang-format off
constexpr std::string_view kKnobKeys[] = {
    "DisconnectAfterFiles", "DisconnectAfterBytes", "DisconnectAfterMessages",
    "DisconnectBeforeResponse", "FinalErrorCode", "FinalErrorDescription",
    "BytesPerSecond", "Requests", "Times",
};
// clang-format on

class KnobsReader {
  public:
    KnobsReader(plist_t dict, bool with_times) : dict_(dict), with_times_(with_times) {}

    bool read(BackupFaults *out) {
        return known_keys() &&
               count("DisconnectAfterFiles", 0, kMaxCount, &out->disconnect_after_files) &&
               count("DisconnectAfterBytes", 0, kMaxCount, &out->disconnect_after_bytes) &&
               count("DisconnectAfterMessages", 0, kMaxCount, &out->disconnect_after_messages) &&
               flag("DisconnectBeforeResponse", &out->disconnect_before_response) &&
               count("FinalErrorCode", 1, kMaxErrorCode, &out->final_error_code) &&
               description(out) && count("BytesPerSecond", 1, kMaxCount, &out->bytes_per_second) &&
               requests(out) && count("Times", 1, kMaxCount, &out->times);
    }

    std::string key;
    std::string why;

  private:
    bool fail(std::string_view item, std::string what) {
        key = item;
        why = std::move(what);
        return false;
    }

    bool known_keys() {
        return for_each_dict_item(dict_, [this](const std::string &name, plist_t) {
            if (name == "Times" && !with_times_) {
                return fail(name,
                            "only backup-faults.plist in the device's state folder counts "
                            "requests down");
            }
            if (std::find(std::begin(kKnobKeys), std::end(kKnobKeys), name) !=
                std::end(kKnobKeys)) {
                return true;
            }
            std::string list;
            for (std::string_view known : kKnobKeys) {
                list += list.empty() ? "" : ", ";
                list += known;
            }
            return fail(name, "unknown knob (known: " + list + ")");
        });
    }

    bool count(const char *item, uint64_t least, uint64_t most, std::optional<uint64_t> *out) {
        plist_t node = plist_dict_get_item(dict_, item);
        if (!node) {
            return true;
        }
        const std::optional<uint64_t> value = tarvo::uint_value(node);
        if (!value || *value < least || *value > most) {
            return fail(item, most == kMaxCount
                                  ? "must be a whole number, " + std::to_string(least) + " or more"
                                  : "must be a whole number from " + std::to_string(least) +
                                        " to " + std::to_string(most));
        }
        *out = *value;
        return true;
    }

    bool flag(const char *item, bool *out) {
        plist_t node = plist_dict_get_item(dict_, item);
        if (!node) {
            return true;
        }
        const std::optional<bool> value = tarvo::bool_value(node);
        if (!value) {
            return fail(item, "must be true or false");
        }
        *out = *value;
        return true;
    }

    bool description(BackupFaults *out) {
        plist_t node = plist_dict_get_item(dict_, "FinalErrorDescription");
        if (!node) {
            return true;
        }
        if (!out->final_error_code) {
            return fail("FinalErrorDescription", "goes with a FinalErrorCode");
        }
        std::optional<std::string> text = tarvo::string_value(node);
        if (!text || text->empty() || text->size() > kMaxDescription) {
            return fail("FinalErrorDescription",
                        "must be a text of 1 to " + std::to_string(kMaxDescription) + " bytes");
        }
        out->final_error_description = std::move(*text);
        return true;
    }

    bool requests(BackupFaults *out) {
        plist_t list = plist_dict_get_item(dict_, "Requests");
        if (!list) {
            return true;
        }
        if (plist_get_node_type(list) != PLIST_ARRAY || plist_array_get_size(list) == 0) {
            return fail("Requests", "must be an array of one or more request names");
        }
        out->requests.clear();
        for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
            std::optional<std::string> name = tarvo::string_at(list, i);
            if (!name || !is_engine_request(*name)) {
                return fail("Requests", "item " + std::to_string(i + 1) +
                                            " is no request the engine answers (one of " +
                                            engine_request_names() + ")");
            }
            out->requests.insert(std::move(*name));
        }
        return true;
    }

    static bool is_engine_request(std::string_view name) {
        for (const RequestRow &row : engine_request_table()) {
            if (row.name == name) {
                return true;
            }
        }
        return false;
    }

    static std::string engine_request_names() {
        std::string names;
        for (const RequestRow &row : engine_request_table()) {
            names += names.empty() ? "" : ", ";
            names += row.name;
        }
        return names;
    }

    plist_t dict_;
    bool with_times_;
};

enum class Override { kAbsent, kRead, kBroken };

/// The override file's dictionary and knobs.
Override read_override(const std::string &path, PlistPtr *dict, BackupFaults *faults,
                       std::string *error) {
    std::error_code failure;
    const fs::file_status status = fs::symlink_status(path, failure);
    if (!fs::exists(status)) {
        return Override::kAbsent;
    }
    if (!fs::is_regular_file(status)) {
        *error = path + ": must be a regular file";
        return Override::kBroken;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes;
    for (std::istreambuf_iterator<char> it(in), end; it != end && bytes.size() <= kMaxOverrideFile;
         ++it) {
        bytes.push_back(static_cast<uint8_t>(*it));
    }
    if (!in.is_open() || bytes.size() > kMaxOverrideFile) {
        *error = path + ": cannot be read or is larger than 1 MiB";
        return Override::kBroken;
    }
    dict->reset(tarvo::plist_from_untrusted_memory(bytes));
    if (!*dict || plist_get_node_type(dict->get()) != PLIST_DICT) {
        *error = path + ": must be a property list dictionary";
        return Override::kBroken;
    }
    KnobsReader reader(dict->get(), true);
    if (!reader.read(faults)) {
        *error = path + ": key \"" + reader.key + "\": " + reader.why;
        return Override::kBroken;
    }
    return Override::kRead;
}

/// One request used: "Times" goes down by one, and the file goes with the last.
bool count_down(const std::string &path, plist_t dict, uint64_t times, std::string *error) {
    std::error_code failure;
    if (times <= 1) {
        fs::remove(path, failure);
        if (failure) {
            *error = path + ": cannot be removed after its last use: " + failure.message();
        }
        return !failure;
    }
    plist_dict_set_item(dict, "Times", plist_new_uint(times - 1));
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dict, &xml, &length);
    CString owned(xml);
    // Written beside it and renamed, so a reader never meets half a file.
    const std::string temporary = path + ".tmp";
    bool written = false;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(xml ? xml : "", xml ? length : 0);
        out.close();
        written = xml && !out.fail();
    }
    if (written) {
        fs::rename(temporary, path, failure);
    }
    if (!written || failure) {
        *error = path + ": cannot count \"Times\" down" +
                 (failure ? ": " + failure.message() : std::string());
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    return true;
}

// Requests of several devices and connections read and count down their
// override files one at a time.
std::mutex &override_mutex() {
    static std::mutex mutex;
    return mutex;
}

struct ArmedPlayer {
    const DlChannel *channel;
    FaultPlayer *player;
};

std::mutex &armed_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<ArmedPlayer> &armed_players() {
    static std::vector<ArmedPlayer> players;
    return players;
}

}  // namespace

bool read_backup_faults(plist_t dict, bool with_times, BackupFaults *out, std::string *key,
                        std::string *why) {
    BackupFaults faults;
    KnobsReader reader(dict, with_times);
    if (!reader.read(&faults)) {
        *key = reader.key;
        *why = reader.why;
        return false;
    }
    *out = std::move(faults);
    return true;
}

FixtureSection backup_faults_section() {
    return FixtureSection{
        kBackupFaultsSection,
        {"BackupFaults"},
        [](const FixtureSource &source, std::any *out, std::string *error) {
            plist_t dict = plist_dict_get_item(source.root, "BackupFaults");
            if (!dict) {
                return true;
            }
            if (plist_get_node_type(dict) != PLIST_DICT) {
                *error = source.error("BackupFaults", "must be a dictionary of fault knobs");
                return false;
            }
            auto faults = std::make_shared<BackupFaults>();
            std::string key;
            std::string why;
            if (!read_backup_faults(dict, false, faults.get(), &key, &why)) {
                *error = source.error("BackupFaults", "\"" + key + "\" " + why);
                return false;
            }
            *out = std::shared_ptr<const BackupFaults>(std::move(faults));
            return true;
        },
    };
}

bool faults_for_request(const BackupDevice &device, std::string_view name,
                        std::optional<BackupFaults> *out, std::string *error) {
    out->reset();
    const std::string path = device.device_dir + "/" + kBackupFaultsFile;
    std::lock_guard lock(override_mutex());
    PlistPtr dict;
    BackupFaults faults;
    switch (read_override(path, &dict, &faults, error)) {
        case Override::kBroken:
            return false;
        case Override::kAbsent: {
            const BackupFaults *fixture =
                device.context.fixture.section<BackupFaults>(kBackupFaultsSection);
            if (fixture && fixture->requests.count(name) != 0) {
                *out = *fixture;
            }
            return true;
        }
        case Override::kRead:
            break;
    }
    if (faults.requests.count(name) == 0) {
        return true;
    }
    if (faults.times && !count_down(path, dict.get(), *faults.times, error)) {
        return false;
    }
    *out = std::move(faults);
    return true;
}

bool FaultPlayer::vanish(const std::string &when) {
    if (!vanished_) {
        vanished_ = true;
        device_.note("fault: the device vanishes " + when);
        channel_.socket().shut_down();
    }
    return false;
}

bool FaultPlayer::at_message_boundary() {
    if (vanished_) {
        return false;
    }
    if (faults_.disconnect_after_messages && messages_ >= *faults_.disconnect_after_messages) {
        return vanish("after " + std::to_string(messages_) + " device-link messages");
    }
    return true;
}

bool FaultPlayer::at_file_boundary() {
    if (vanished_) {
        return false;
    }
    if (faults_.disconnect_after_files && files_ >= *faults_.disconnect_after_files) {
        return vanish("after " + std::to_string(files_) + " files of its upload stream");
    }
    return true;
}

bool FaultPlayer::bytes_cut_due() const {
    return faults_.disconnect_after_bytes && bytes_ >= *faults_.disconnect_after_bytes;
}

std::size_t FaultPlayer::slice_for(std::size_t wanted) const {
    uint64_t slice = wanted;
    if (faults_.disconnect_after_bytes) {
        slice = std::min(slice, *faults_.disconnect_after_bytes - bytes_);
    }
    if (faults_.bytes_per_second) {
        slice =
            std::min(slice, std::max<uint64_t>(1, *faults_.bytes_per_second / kSlicesPerSecond));
    }
    return static_cast<std::size_t>(slice);
}

void FaultPlayer::pace(std::size_t bytes) {
    if (!faults_.bytes_per_second) {
        return;
    }
    // Time spent waiting for the host earns no credit: the rate holds
    // while the stream flows.
    next_slice_ = std::max(next_slice_, SteadyClock::now());
    for (auto left = next_slice_ - SteadyClock::now(); left > SteadyClock::duration::zero();
         left = next_slice_ - SteadyClock::now()) {
        std::this_thread::sleep_for(std::min<SteadyClock::duration>(left, kLongestSleep));
    }
    next_slice_ += std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 1'000'000'000 /
                                            static_cast<int64_t>(*faults_.bytes_per_second));
}

bool FaultPlayer::write(DlChannel &channel, std::span<const uint8_t> bytes) {
    for (;;) {
        if (vanished_) {
            return false;
        }
        if (bytes_cut_due()) {
            return vanish("after " + std::to_string(bytes_) + " bytes of its upload stream");
        }
        if (bytes.empty()) {
            return true;
        }
        const std::size_t slice = slice_for(bytes.size());
        pace(slice);
        if (!channel.write_raw(bytes.first(slice))) {
            return false;
        }
        bytes_ += slice;
        bytes = bytes.subspan(slice);
    }
}

bool FaultPlayer::shape_response(uint64_t *code, std::string *text, std::string *content) {
    if (!at_message_boundary()) {
        return false;
    }
    if (faults_.disconnect_before_response) {
        return vanish("just before its final Response");
    }
    if (*code == 0 && faults_.final_error_code) {
        *code = *faults_.final_error_code;
        *text = faults_.final_error_description.empty() ? kDefaultFinalError
                                                        : faults_.final_error_description;
        content->clear();
        device_.note("fault: the finished request answers " + std::to_string(*code));
    }
    return true;
}

ArmedOnChannel::ArmedOnChannel(const DlChannel &channel, FaultPlayer &player) : channel_(channel) {
    std::lock_guard lock(armed_mutex());
    armed_players().push_back({&channel, &player});
}

ArmedOnChannel::~ArmedOnChannel() {
    std::lock_guard lock(armed_mutex());
    std::erase_if(armed_players(),
                  [this](const ArmedPlayer &armed) { return armed.channel == &channel_; });
}

FaultPlayer *armed_faults(const DlChannel &channel) {
    std::lock_guard lock(armed_mutex());
    for (const ArmedPlayer &armed : armed_players()) {
        if (armed.channel == &channel) {
            return armed.player;
        }
    }
    return nullptr;
}

}  // namespace tarvosim
