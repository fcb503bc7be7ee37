/*
 * Reading and checking the installed applications of a fixture, with their
 * icons.
 */
#include "installed_apps.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include "plist_dict_walk.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

// Bundle identifiers are reverse-DNS names; keeping to these characters
// also makes each one a safe file name for its icon.
constexpr std::size_t kMaxBundleIdLength = 255;
constexpr std::size_t kMaxApps = 10000;

bool is_bundle_id(std::string_view id) {
    if (id.empty() || id.size() > kMaxBundleIdLength || id.front() == '.') {
        return false;
    }
    for (char c : id) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                        (c >= 'a' && c <= 'z') || c == '.' || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

class AppsReader {
  public:
    explicit AppsReader(const FixtureSource &source) : source_(source) {}

    bool read(InstalledApps *out, std::string *error) {
        const bool ok = read_page_size(out) && read_apps(out) && read_icons(out);
        if (!ok) {
            *error = error_;
        }
        return ok;
    }

  private:
    bool fail(std::string_view key, const std::string &what) {
        error_ = source_.error(key, what);
        return false;
    }

    bool read_page_size(InstalledApps *out) {
        plist_t node = plist_dict_get_item(source_.root, "BrowsePageSize");
        if (!node) {
            return true;
        }
        const uint64_t size = tarvo::uint_value(node).value_or(0);
        if (size == 0 || size > kMaxBrowsePageSize) {
            return fail("BrowsePageSize",
                        "must be an integer from 1 to " + std::to_string(kMaxBrowsePageSize));
        }
        out->browse_page_size = size;
        return true;
    }

    bool read_apps(InstalledApps *out) {
        plist_t list = plist_dict_get_item(source_.root, "Applications");
        if (!list) {
            return true;
        }
        if (plist_get_node_type(list) != PLIST_ARRAY) {
            return fail("Applications", "must be an array of attribute dictionaries");
        }
        if (plist_array_get_size(list) > kMaxApps) {
            return fail("Applications", "more than " + std::to_string(kMaxApps) + " applications");
        }
        std::set<std::string, std::less<>> seen;
        for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
            const std::string where = "application " + std::to_string(i + 1) + ": ";
            plist_t attributes = plist_array_get_item(list, i);
            if (plist_get_node_type(attributes) != PLIST_DICT) {
                return fail("Applications", where + "must be a dictionary of attributes");
            }
            InstalledApp app;
            const std::optional<std::string> id =
                tarvo::string_item(attributes, "CFBundleIdentifier");
            if (!id || !is_bundle_id(*id)) {
                return fail("Applications",
                            where +
                                "needs \"CFBundleIdentifier\": 1 to 255 letters, digits, "
                                "\".\", \"-\" or \"_\", not starting with \".\"");
            }
            if (!seen.insert(*id).second) {
                return fail("Applications", where + "\"" + *id + "\" is listed twice");
            }
            const std::optional<std::string> type =
                tarvo::string_item(attributes, "ApplicationType");
            if (type != "User" && type != "System") {
                return fail("Applications",
                            where + "needs \"ApplicationType\": \"User\" or \"System\"");
            }
            app.bundle_id = *id;
            app.type = *type == "User" ? AppType::kUser : AppType::kSystem;
            app.attributes.reset(plist_copy(attributes));
            out->apps.push_back(std::move(app));
        }
        return true;
    }

    /// Each file of icons/ must be <bundle id>.png of a listed app, so that
    /// a misspelt name is reported rather than silently never served.
    bool read_icons(InstalledApps *out) {
        namespace fs = std::filesystem;
        const fs::path folder = fs::path(source_.dir) / kIconsFolder;
        std::error_code failure;
        if (!fs::exists(fs::symlink_status(folder, failure))) {
            return true;
        }
        if (!fs::is_directory(folder, failure)) {
            return fail("Applications", std::string(kIconsFolder) + " is not a folder");
        }
        for (fs::directory_iterator it(folder, failure), end; !failure && it != end;
             it.increment(failure)) {
            const std::string name = it->path().filename().string();
            const std::string where = std::string(kIconsFolder) + "/" + name + ": ";
            const std::string id = name.ends_with(".png") ? name.substr(0, name.size() - 4) : "";
            InstalledApp *app = nullptr;
            for (InstalledApp &candidate : out->apps) {
                app = candidate.bundle_id == id ? &candidate : app;
            }
            if (!app) {
                return fail("Applications",
                            where + "names no listed application (icons are <bundle id>.png)");
            }
            std::error_code ignored;
            if (!it->is_regular_file(ignored) || it->is_symlink(ignored) ||
                it->file_size(ignored) > kMaxIconSize) {
                return fail("Applications", where + "must be a regular file of at most 1 MiB");
            }
            std::ifstream in(it->path(), std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
            if (!in.is_open() || in.bad() || bytes.size() > kMaxIconSize) {
                return fail("Applications", where + "cannot be read");
            }
            app->icon = std::move(bytes);
        }
        if (failure) {
            return fail("Applications",
                        std::string(kIconsFolder) + " cannot be listed: " + failure.message());
        }
        return true;
    }

    const FixtureSource &source_;
    std::string error_;
};

}  // namespace

const InstalledApp *InstalledApps::find(std::string_view bundle_id) const {
    for (const InstalledApp &app : apps) {
        if (app.bundle_id == bundle_id) {
            return &app;
        }
    }
    return nullptr;
}

FixtureSection installed_apps_section() {
    return FixtureSection{
        kInstalledAppsSection,
        {"Applications", "BrowsePageSize"},
        [](const FixtureSource &source, std::any *out, std::string *error) {
            auto apps = std::make_shared<InstalledApps>();
            if (!AppsReader(source).read(apps.get(), error)) {
                return false;
            }
            *out = std::shared_ptr<const InstalledApps>(std::move(apps));
            return true;
        },
    };
}

const InstalledApps &installed_apps(const Fixture &fixture) {
    static const InstalledApps kNone;
    const InstalledApps *apps = fixture.section<InstalledApps>(kInstalledAppsSection);
    return apps ? *apps : kNone;
}

InstalledApps device_apps(const Fixture &fixture, const DeviceState &state) {
    const InstalledApps &fixed = installed_apps(fixture);
    InstalledApps now;
    now.browse_page_size = fixed.browse_page_size;
    PlistPtr restored = state.effective_domain(kRestoredAppsDomain, nullptr);
    for (const InstalledApp &app : fixed.apps) {
        if (restored && plist_dict_get_item(restored.get(), app.bundle_id.c_str())) {
            continue;
        }
        now.apps.push_back(
            {app.bundle_id, app.type, PlistPtr(plist_copy(app.attributes.get())), app.icon});
    }
    if (restored) {
        for_each_dict_item(restored.get(), [&](const std::string &id, plist_t attributes) {
            if (plist_get_node_type(attributes) == PLIST_DICT) {
                now.apps.push_back(
                    {id, AppType::kUser, PlistPtr(plist_copy(attributes)), std::nullopt});
            }
            return true;
        });
    }
    return now;
}

std::size_t install_restored_apps(DeviceState &state, plist_t applications) {
    if (!applications || plist_get_node_type(applications) != PLIST_DICT ||
        plist_dict_get_size(applications) > kMaxApps) {
        return 0;
    }
    std::size_t installed = 0;
    for_each_dict_item(applications, [&](const std::string &id, plist_t record) {
        if (!is_bundle_id(id)) {
            return true;
        }
        PlistPtr attributes(plist_new_dict());
        plist_dict_set_item(attributes.get(), "CFBundleIdentifier", plist_new_string(id.c_str()));
        plist_dict_set_item(attributes.get(), "ApplicationType", plist_new_string("User"));
        plist_t version = plist_get_node_type(record) == PLIST_DICT
                              ? plist_dict_get_item(record, "CFBundleVersion")
                              : nullptr;
        if (version && plist_get_node_type(version) == PLIST_STRING) {
            plist_dict_set_item(attributes.get(), "CFBundleVersion", plist_copy(version));
        }
        installed += state.set_value(kRestoredAppsDomain, id, attributes.get()) ? 1 : 0;
        return true;
    });
    return installed;
}

}  // namespace tarvosim
