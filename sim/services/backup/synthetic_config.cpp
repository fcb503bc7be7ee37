/*
 * Reading and checking a fixture's "SyntheticContent" dictionary.
 */
#include "synthetic_config.h"

#include <algorithm>
#include <optional>

#include "content_paths.h"
#include "plist_dict_walk.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

constexpr const char *kKey = "SyntheticContent";
constexpr std::size_t kMaxDomainLength = 255;

const std::vector<std::string_view> &known_keys() {
    static const std::vector<std::string_view> keys{
        "Seed",         "Files",       "Domains",        "SizeProfile",
        "MinSize",      "MaxSize",     "LargeFiles",     "LargeMinSize",
        "LargeMaxSize", "FolderDepth", "FilesPerFolder", "ChangedShare",
    };
    return keys;
}

class ConfigReader {
  public:
    ConfigReader(const FixtureSource &source, plist_t dict) : source_(source), dict_(dict) {}

    bool read(SyntheticContent *out, std::string *error) {
        const bool ok = only_known_keys() && read_numbers(out) && read_profile(out) &&
                        read_share(out) && read_domains(out) && sizes_agree(*out);
        if (!ok) {
            *error = error_;
        }
        return ok;
    }

  private:
    bool fail(const std::string &what) {
        error_ = source_.error(kKey, what);
        return false;
    }

    bool only_known_keys() {
        std::string unknown;
        for_each_dict_item(dict_, [&](const std::string &name, plist_t) {
            const auto &keys = known_keys();
            if (std::find(keys.begin(), keys.end(), name) == keys.end()) {
                unknown = name;
                return false;
            }
            return true;
        });
        if (unknown.empty()) {
            return true;
        }
        std::string list;
        for (std::string_view key : known_keys()) {
            list += (list.empty() ? "" : ", ") + std::string(key);
        }
        return fail("unknown key \"" + unknown + "\" (known keys: " + list + ")");
    }

    /// Leaves *out as it is when the key is absent.
    bool read_integer(const char *name, uint64_t low, uint64_t high, uint64_t *out) {
        plist_t node = plist_dict_get_item(dict_, name);
        if (!node) {
            return true;
        }
        const std::optional<uint64_t> value = tarvo::uint_value(node);
        if (!value || *value < low || *value > high) {
            return fail("\"" + std::string(name) + "\": must be an integer from " +
                        std::to_string(low) + " to " + std::to_string(high));
        }
        *out = *value;
        return true;
    }

    bool read_numbers(SyntheticContent *out) {
        if (!plist_dict_get_item(dict_, "Files")) {
            return fail("needs \"Files\", the number of files");
        }
        uint64_t depth = out->folder_depth;
        const bool ok =
            read_integer("Seed", 0, UINT64_MAX, &out->seed) &&
            read_integer("Files", 0, kMaxSyntheticFiles, &out->files) &&
            read_integer("MinSize", 0, kMaxSyntheticFileSize, &out->min_size) &&
            read_integer("MaxSize", 0, kMaxSyntheticFileSize, &out->max_size) &&
            read_integer("LargeFiles", 0, kMaxSyntheticFiles, &out->large_files) &&
            read_integer("LargeMinSize", 0, kMaxSyntheticFileSize, &out->large_min_size) &&
            read_integer("LargeMaxSize", 0, kMaxSyntheticFileSize, &out->large_max_size) &&
            read_integer("FolderDepth", 0, kMaxSyntheticFolderDepth, &depth) &&
            read_integer("FilesPerFolder", 1, kMaxSyntheticFilesPerFolder, &out->files_per_folder);
        out->folder_depth = static_cast<uint32_t>(depth);
        return ok;
    }

    bool read_profile(SyntheticContent *out) {
        plist_t node = plist_dict_get_item(dict_, "SizeProfile");
        if (!node) {
            return true;
        }
        const std::optional<std::string> name = tarvo::string_value(node);
        if (name == "phone" || name == "uniform") {
            out->profile = *name == "phone" ? SizeProfile::kPhone : SizeProfile::kUniform;
            return true;
        }
        return fail("\"SizeProfile\": must be \"phone\" or \"uniform\"");
    }

    bool read_share(SyntheticContent *out) {
        plist_t node = plist_dict_get_item(dict_, "ChangedShare");
        if (!node) {
            return true;
        }
        double share = -1;
        if (plist_get_node_type(node) == PLIST_REAL) {
            plist_get_real_val(node, &share);
        } else if (const std::optional<uint64_t> whole = tarvo::uint_value(node)) {
            share = *whole <= 1 ? static_cast<double>(*whole) : -1;
        }
        if (!(share >= 0 && share <= 1)) {
            return fail("\"ChangedShare\": must be a number from 0 to 1 (0.01: 1 % of the files)");
        }
        out->changed_share = static_cast<uint64_t>(share * kShareScale + 0.5);
        return true;
    }

    bool read_domains(SyntheticContent *out) {
        plist_t list = plist_dict_get_item(dict_, "Domains");
        if (!list) {
            out->domains = default_synthetic_domains();
            return true;
        }
        if (plist_get_node_type(list) != PLIST_ARRAY || plist_array_get_size(list) == 0 ||
            plist_array_get_size(list) > kMaxSyntheticDomains) {
            return fail("\"Domains\": must be an array of 1 to " +
                        std::to_string(kMaxSyntheticDomains) + " domain names");
        }
        for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
            const std::optional<std::string> name = tarvo::string_at(list, i);
            if (!name || !is_safe_domain(*name) || name->size() > kMaxDomainLength) {
                return fail("\"Domains\": item " + std::to_string(i + 1) +
                            " must be a domain name (1 to 255 bytes, no \"/\", not \".\" or "
                            "\"..\")");
            }
            out->domains.push_back(*name);
        }
        std::sort(out->domains.begin(), out->domains.end());
        const auto twice = std::adjacent_find(out->domains.begin(), out->domains.end());
        if (twice != out->domains.end()) {
            return fail("\"Domains\": \"" + *twice + "\" is listed twice");
        }
        return true;
    }

    bool sizes_agree(const SyntheticContent &content) {
        if (content.min_size > content.max_size) {
            return fail("\"MinSize\" is larger than \"MaxSize\"");
        }
        if (content.large_min_size > content.large_max_size) {
            return fail("\"LargeMinSize\" is larger than \"LargeMaxSize\"");
        }
        if (content.large_files > content.files) {
            return fail("\"LargeFiles\" is more than \"Files\"");
        }
        return true;
    }

    const FixtureSource &source_;
    plist_t dict_;
    std::string error_;
};

}  // namespace

const std::vector<std::string> &default_synthetic_domains() {
    // In byte order; three apps' containers and the system domains that
    // hold most of a phone's files.
    static const std::vector<std::string> domains{
        "AppDomain-com.example.synthetic.camera",
        "AppDomain-com.example.synthetic.chat",
        "AppDomain-com.example.synthetic.maps",
        "CameraRollDomain",
        "HomeDomain",
        "MediaDomain",
    };
    return domains;
}

FixtureSection synthetic_content_section() {
    return FixtureSection{
        kSyntheticContentSection,
        {kKey},
        [](const FixtureSource &source, std::any *out, std::string *error) {
            plist_t dict = plist_dict_get_item(source.root, kKey);
            if (!dict) {
                *out = std::shared_ptr<const SyntheticContent>();
                return true;
            }
            if (plist_get_node_type(dict) != PLIST_DICT) {
                *error = source.error(kKey, "must be a dictionary (Files, Seed, Domains, ...)");
                return false;
            }
            auto content = std::make_shared<SyntheticContent>();
            if (!ConfigReader(source, dict).read(content.get(), error)) {
                return false;
            }
            *out = std::shared_ptr<const SyntheticContent>(std::move(content));
            return true;
        },
    };
}

std::shared_ptr<const SyntheticContent> synthetic_content(const Fixture &fixture) {
    auto found = fixture.sections.find(kSyntheticContentSection);
    if (found == fixture.sections.end()) {
        return nullptr;
    }
    const auto *held = std::any_cast<std::shared_ptr<const SyntheticContent>>(&found->second);
    return held ? *held : nullptr;
}

}  // namespace tarvosim
