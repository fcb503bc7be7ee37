/*
 * Loading and checking device fixtures. A fixture is written by hand, so
 * every refusal names the file, the key and what was expected there.
 */
#include "fixture.h"

#include <sys/stat.h>

#include <array>
#include <fstream>
#include <iterator>
#include <limits>
#include <utility>

#include "device_keys.h"
#include "plist_dict_walk.h"
#include "plist_items.h"
#include "plist_untrusted.h"

namespace tarvosim {
namespace {

// libusbmuxd copies a device's serial into a 44-byte field; a longer UDID
// would be cut short on the host and never match again.
constexpr std::size_t kMaxUdidLength = 43;

template <typename T>
struct Named {
    std::string_view name;
    T value;
};

constexpr std::array<Named<ConnectionType>, 2> kConnectionTypes{{
    {"USB", ConnectionType::kUsb},
    {"Network", ConnectionType::kNetwork},
}};

constexpr std::array<Named<PairingPolicy>, 4> kPairingPolicies{{
    {"accept", PairingPolicy::kAccept},
    {"deny", PairingPolicy::kDeny},
    {"pending", PairingPolicy::kPending},
    {"passcode", PairingPolicy::kPasscode},
}};

constexpr std::array<Named<Fault>, 5> kFaults{{
    {"HugeLength", Fault::kHugeLength},
    {"Truncated", Fault::kTruncated},
    {"NotPlist", Fault::kNotPlist},
    {"Stall", Fault::kStall},
    {"Close", Fault::kClose},
}};

// Top-level keys of device.plist read here. Content that one service alone
// uses is a fixture section of that service instead (fixture_sections()).
constexpr std::array<std::string_view, 13> kKnownKeys{
    "UniqueDeviceID",
    "ConnectionType",
    "PairingPolicy",
    "GlobalDomain",
    "Domains",
    "QueryType",
    "Faults",
    "DevicePrivateKey",
    "DeviceLinkVersion",
    "BackupProtocolVersions",
    "PairingPIN",
    "DeviceInfo",
    "MissingServices",
};

// A PIN is typed by a person, one character at a time.
constexpr std::size_t kMaxPinLength = 32;

template <typename T, std::size_t N>
std::string names_of(const std::array<Named<T>, N> &table) {
    std::string text;
    for (const auto &row : table) {
        text += text.empty() ? "" : ", ";
        text += row.name;
    }
    return text;
}

template <typename T, std::size_t N>
const T *find_named(const std::array<Named<T>, N> &table, std::string_view name) {
    for (const auto &row : table) {
        if (row.name == name) {
            return &row.value;
        }
    }
    return nullptr;
}

bool is_udid_character(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
}

enum class ReadFile { kOk, kMissing, kTooLarge, kFailed };

ReadFile read_capped(const std::string &path, std::string *bytes) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return ReadFile::kMissing;
    }
    if (!S_ISREG(st.st_mode)) {
        return ReadFile::kFailed;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxFixtureFileSize) {
        return ReadFile::kTooLarge;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return ReadFile::kFailed;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad() || bytes->size() > kMaxFixtureFileSize) {
        return ReadFile::kFailed;
    }
    return ReadFile::kOk;
}

/// Checks one fixture dictionary, reporting against its file.
class FixtureReader {
  public:
    FixtureReader(std::string file, plist_t root, Fixture *out)
        : file_(std::move(file)), root_(root), out_(out) {}

    bool read(std::string *error) {
        const bool ok = check_known_keys() && read_udid() && read_connection_type() &&
                        read_pairing_policy() && read_global_domain() && read_domains() &&
                        read_query_type() && read_faults() && read_private_key() &&
                        read_backup_versions() && read_pairing_pin() && read_device_info() &&
                        read_missing_services();
        if (!ok) {
            *error = error_;
        }
        return ok;
    }

  private:
    bool fail(std::string_view key, const std::string &what) {
        error_ = file_ + ": key \"" + std::string(key) + "\": " + what;
        return false;
    }

    /// The item under `key` if it has the wanted type; null (and no error)
    /// when absent; null with an error when of another type.
    plist_t item(std::string_view key, plist_type type, const char *type_name, bool *bad) {
        plist_t node = plist_dict_get_item(root_, std::string(key).c_str());
        *bad = false;
        if (node && plist_get_node_type(node) != type) {
            *bad = true;
            fail(key, std::string("must be a ") + type_name);
            return nullptr;
        }
        return node;
    }

    bool check_known_keys() {
        std::vector<std::string_view> known(kKnownKeys.begin(), kKnownKeys.end());
        for (const FixtureSection &section : fixture_sections()) {
            known.insert(known.end(), section.keys.begin(), section.keys.end());
        }
        return for_each_dict_item(root_, [&](const std::string &name, plist_t) {
            for (std::string_view candidate : known) {
                if (candidate == name) {
                    return true;
                }
            }
            std::string list;
            for (std::string_view candidate : known) {
                list += list.empty() ? "" : ", ";
                list += candidate;
            }
            return fail(name, "unknown key (known keys: " + list + ")");
        });
    }

    bool read_udid() {
        bool bad = false;
        plist_t node = item("UniqueDeviceID", PLIST_STRING, "string", &bad);
        if (bad) {
            return false;
        }
        if (!node) {
            return fail("UniqueDeviceID", "missing (every device needs its UDID)");
        }
        out_->udid = tarvo::string_value(node).value_or("");
        if (out_->udid.empty() || out_->udid.size() > kMaxUdidLength) {
            return fail("UniqueDeviceID", "must hold 1 to 43 characters");
        }
        for (char c : out_->udid) {
            if (!is_udid_character(c)) {
                return fail("UniqueDeviceID", "may hold only letters, digits and \"-\"");
            }
        }
        return true;
    }

    template <typename T, std::size_t N>
    bool read_choice(std::string_view key, const std::array<Named<T>, N> &table, T *out) {
        bool bad = false;
        plist_t node = item(key, PLIST_STRING, "string", &bad);
        if (bad || !node) {
            return !bad;
        }
        const std::string name = tarvo::string_value(node).value_or("");
        const T *value = find_named(table, name);
        if (!value) {
            return fail(key, "unknown value \"" + name + "\" (one of " + names_of(table) + ")");
        }
        *out = *value;
        return true;
    }

    bool read_connection_type() {
        return read_choice("ConnectionType", kConnectionTypes, &out_->connection_type);
    }

    bool read_pairing_policy() {
        return read_choice("PairingPolicy", kPairingPolicies, &out_->pairing_policy);
    }

    bool read_global_domain() {
        bool bad = false;
        plist_t node = item("GlobalDomain", PLIST_DICT, "dictionary", &bad);
        if (bad) {
            return false;
        }
        out_->global_domain.reset(node ? plist_copy(node) : plist_new_dict());
        plist_t global = out_->global_domain.get();
        plist_t udid = plist_dict_get_item(global, "UniqueDeviceID");
        if (udid && tarvo::string_value(udid) != out_->udid) {
            return fail("GlobalDomain", "\"UniqueDeviceID\" differs from the top-level UDID");
        }
        if (!udid) {
            plist_dict_set_item(global, "UniqueDeviceID", plist_new_string(out_->udid.c_str()));
        }
        // A fixture may pin these to play a device that reports odd values;
        // when absent the device derives them from its key and UDID.
        plist_t public_key = plist_dict_get_item(global, "DevicePublicKey");
        if (public_key && plist_get_node_type(public_key) != PLIST_DATA) {
            return fail("GlobalDomain", "\"DevicePublicKey\" must be data");
        }
        plist_t wifi = plist_dict_get_item(global, "WiFiAddress");
        if (wifi && plist_get_node_type(wifi) != PLIST_STRING) {
            return fail("GlobalDomain", "\"WiFiAddress\" must be a string");
        }
        return true;
    }

    bool read_domains() {
        bool bad = false;
        plist_t node = item("Domains", PLIST_DICT, "dictionary", &bad);
        if (bad) {
            return false;
        }
        out_->domains.reset(node ? plist_copy(node) : plist_new_dict());
        return for_each_dict_item(
            out_->domains.get(), [&](const std::string &domain, plist_t value) {
                if (domain.empty()) {
                    return fail("Domains", "a domain name is empty");
                }
                if (plist_get_node_type(value) != PLIST_DICT) {
                    return fail("Domains", "domain \"" + domain + "\" must be a dictionary");
                }
                return true;
            });
    }

    bool read_query_type() {
        bool bad = false;
        plist_t node = item("QueryType", PLIST_STRING, "string", &bad);
        if (node) {
            out_->query_type = tarvo::string_value(node).value_or("");
        }
        return !bad;
    }

    bool read_faults() {
        bool bad = false;
        plist_t node = item("Faults", PLIST_DICT, "dictionary", &bad);
        if (bad || !node) {
            return !bad;
        }
        return for_each_dict_item(node, [&](const std::string &request, plist_t value) {
            return read_fault(request, value);
        });
    }

    bool read_fault(const std::string &request, plist_t value) {
        bool known_request = false;
        std::string requests;
        for (std::string_view candidate : fault_request_names()) {
            known_request = known_request || candidate == request;
            requests += requests.empty() ? "" : ", ";
            requests += candidate;
        }
        if (!known_request) {
            return fail("Faults", "unknown request \"" + request + "\" (one of " + requests + ")");
        }
        FaultRule rule;
        plist_t fault_node = value;
        if (plist_get_node_type(value) == PLIST_DICT) {
            fault_node = plist_dict_get_item(value, "Fault");
            if (!fault_node) {
                return fail("Faults", "the rule for \"" + request + "\" has no \"Fault\"");
            }
            if (!read_fault_conditions(request, value, &rule)) {
                return false;
            }
        }
        const std::optional<std::string> fault_name = tarvo::string_value(fault_node);
        if (!fault_name) {
            return fail("Faults", "the fault for \"" + request +
                                      "\" must be a string or a dictionary with \"Fault\"");
        }
        const Fault *fault = find_named(kFaults, *fault_name);
        if (!fault) {
            return fail("Faults", "unknown fault \"" + *fault_name + "\" for \"" + request +
                                      "\" (one of " + names_of(kFaults) + ")");
        }
        rule.fault = *fault;
        out_->faults.emplace(request, std::move(rule));
        return true;
    }

    /// Every entry of a rule besides "Fault" names a request item and the
    /// text it must hold for the fault to hit.
    bool read_fault_conditions(const std::string &request, plist_t rule_dict, FaultRule *rule) {
        return for_each_dict_item(rule_dict, [&](const std::string &item, plist_t value) {
            if (item == "Fault") {
                return true;
            }
            std::optional<std::string> text = tarvo::string_value(value);
            if (!text) {
                return fail("Faults", "the condition \"" + item + "\" for \"" + request +
                                          "\" must be a string");
            }
            rule->match.emplace(item, std::move(*text));
            return true;
        });
    }

    bool read_private_key() {
        bool bad = false;
        plist_t node = item("DevicePrivateKey", PLIST_DATA, "data (PEM text)", &bad);
        if (bad || !node) {
            return !bad;
        }
        out_->device_private_key_pem = tarvo::data_value(node).value_or(std::vector<uint8_t>());
        std::string why;
        if (!rsa_private_key_from_pem(out_->device_private_key_pem, &why)) {
            return fail("DevicePrivateKey", why);
        }
        return true;
    }

    bool read_backup_versions() {
        bool bad = false;
        if (plist_t node = item("DeviceLinkVersion", PLIST_UINT, "integer", &bad)) {
            const uint64_t version = tarvo::uint_value(node).value_or(0);
            if (version == 0 || version > std::numeric_limits<uint32_t>::max()) {
                return fail("DeviceLinkVersion", "must be a positive integer (300 or 400)");
            }
            out_->device_link_version = version;
        }
        if (bad) {
            return false;
        }
        plist_t versions = item("BackupProtocolVersions", PLIST_ARRAY, "array", &bad);
        if (bad || !versions) {
            return !bad;
        }
        out_->backup_protocol_versions.clear();
        for (uint32_t i = 0; i < plist_array_get_size(versions); ++i) {
            plist_t version = plist_array_get_item(versions, i);
            double value = 0;
            if (plist_get_node_type(version) != PLIST_REAL) {
                return fail("BackupProtocolVersions", "must hold reals such as 2.1");
            }
            plist_get_real_val(version, &value);
            out_->backup_protocol_versions.push_back(value);
        }
        return true;
    }

    bool read_missing_services() {
        bool bad = false;
        plist_t names = item("MissingServices", PLIST_ARRAY, "array", &bad);
        if (bad || !names) {
            return !bad;
        }
        for (uint32_t i = 0; i < plist_array_get_size(names); ++i) {
            std::optional<std::string> name = tarvo::string_at(names, i);
            if (!name) {
                return fail("MissingServices", "must hold service names");
            }
            out_->missing_services.insert(std::move(*name));
        }
        return true;
    }

    bool read_pairing_pin() {
        bool bad = false;
        plist_t node = item("PairingPIN", PLIST_STRING, "string", &bad);
        if (bad || !node) {
            return !bad;
        }
        out_->pairing_pin = tarvo::string_value(node).value_or("");
        bool printable = !out_->pairing_pin.empty() && out_->pairing_pin.size() <= kMaxPinLength;
        for (char c : out_->pairing_pin) {
            printable = printable && c > ' ' && c < 0x7F;
        }
        if (!printable) {
            return fail("PairingPIN", "must hold 1 to 32 printable ASCII characters, no blanks");
        }
        return true;
    }

    bool read_device_info() {
        bool bad = false;
        plist_t node = item("DeviceInfo", PLIST_DICT, "dictionary", &bad);
        if (node) {
            out_->device_info.reset(plist_copy(node));
        }
        return !bad;
    }

    std::string file_;
    plist_t root_;
    Fixture *out_;
    std::string error_;
};

}  // namespace

const std::vector<std::string_view> &fault_request_names() {
    static const std::vector<std::string_view> names{
        "QueryType",       "GetValue",          "SetValue",        "RemoveValue",
        "StartSession",    "StopSession",       "StartService",    "Pair",
        "Unpair",          "ValidatePair",      "Goodbye",         "CUPairingStart",
        "CUPairingVerify", "CUPairingExchange", "CUPairingFinish",
    };
    return names;
}

bool FaultRule::hits(plist_t request) const {
    for (const auto &[item, wanted] : match) {
        if (tarvo::string_item(request, item.c_str()) != wanted) {
            return false;
        }
    }
    return true;
}

std::optional<Fault> Fixture::fault_for(std::string_view name, plist_t request) const {
    auto found = faults.find(name);
    if (found == faults.end() || !found->second.hits(request)) {
        return std::nullopt;
    }
    return found->second.fault;
}

std::string FixtureSource::error(std::string_view key, const std::string &what) const {
    return file + ": key \"" + std::string(key) + "\": " + what;
}

bool load_fixture(const std::string &dir, Fixture *fixture, std::string *error) {
    const std::string file = dir + "/" + kFixtureFileName;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = dir + ": not a fixture folder (no such directory)";
        return false;
    }
    std::string bytes;
    switch (read_capped(file, &bytes)) {
        case ReadFile::kOk:
            break;
        case ReadFile::kMissing:
            *error = file + ": missing (a fixture folder needs a device.plist)";
            return false;
        case ReadFile::kTooLarge:
            *error = file + ": larger than 8 MiB";
            return false;
        case ReadFile::kFailed:
            *error = file + ": cannot be read";
            return false;
    }
    PlistPtr root(tarvo::plist_from_untrusted_memory(bytes.data(), bytes.size()));
    if (!root) {
        *error = file + ": not a property list";
        return false;
    }
    if (plist_get_node_type(root.get()) != PLIST_DICT) {
        *error = file + ": the property list must be a dictionary";
        return false;
    }
    Fixture loaded;
    loaded.dir = dir;
    if (!FixtureReader(file, root.get(), &loaded).read(error) ||
        !load_backup_script(dir, &loaded.backup_script, error)) {
        return false;
    }
    const FixtureSource source{file, dir, root.get()};
    for (const FixtureSection &section : fixture_sections()) {
        std::any content;
        if (!section.load(source, &content, error)) {
            return false;
        }
        loaded.sections.insert_or_assign(std::string(section.name), std::move(content));
    }
    *fixture = std::move(loaded);
    return true;
}

}  // namespace tarvosim
