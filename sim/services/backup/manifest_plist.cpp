/*
 * Building and reading Manifest.plist.
 */
#include "manifest_plist.h"

#include "backup_folder.h"
#include "global_domain.h"
#include "installed_apps.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

plist_t lockdown_values(const BackupDevice &device) {
    PlistPtr global = device_global_domain(device.context.fixture, device.context.state);
    plist_t lockdown = plist_new_dict();
    for (const char *key : {"BuildVersion", "DeviceName", "ProductType", "ProductVersion",
                            "SerialNumber", "UniqueDeviceID"}) {
        if (plist_t value = plist_dict_get_item(global.get(), key)) {
            plist_dict_set_item(lockdown, key, plist_copy(value));
        }
    }
    return lockdown;
}

plist_t applications(const BackupDevice &device) {
    plist_t apps = plist_new_dict();
    for (const InstalledApp &app : device_apps(device.context.fixture, device.context.state).apps) {
        if (app.type != AppType::kUser) {
            continue;
        }
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "CFBundleIdentifier", plist_new_string(app.bundle_id.c_str()));
        plist_t version = plist_dict_get_item(app.attributes.get(), "CFBundleVersion");
        plist_dict_set_item(entry, "CFBundleVersion",
                            version ? plist_copy(version) : plist_new_string("1.0"));
        plist_dict_set_item(entry, "ContainerContentClass", plist_new_string("Data/Application"));
        const std::string path = "/private/var/containers/Bundle/Application/" + app.bundle_id;
        plist_dict_set_item(entry, "Path", plist_new_string(path.c_str()));
        plist_dict_set_item(apps, app.bundle_id.c_str(), entry);
    }
    return apps;
}

plist_t data_node(const std::vector<uint8_t> &bytes) {
    return plist_new_data(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

}  // namespace

std::vector<uint8_t> manifest_plist(const BackupDevice &device,
                                    const std::optional<ManifestKeys> &keys) {
    PlistPtr manifest(plist_new_dict());
    plist_dict_set_item(manifest.get(), "Version", plist_new_string("10.0"));
    plist_dict_set_item(manifest.get(), "Date", plist_date_of(unix_now()));
    plist_dict_set_item(manifest.get(), "IsEncrypted", plist_new_bool(keys.has_value()));
    plist_dict_set_item(manifest.get(), "WasPasscodeSet", plist_new_bool(0));
    plist_dict_set_item(manifest.get(), "SystemDomainsVersion", plist_new_string("24.0"));
    plist_dict_set_item(manifest.get(), "Lockdown", lockdown_values(device));
    plist_dict_set_item(manifest.get(), "Applications", applications(device));
    if (keys) {
        plist_dict_set_item(manifest.get(), "BackupKeyBag", data_node(keys->keybag));
        plist_dict_set_item(manifest.get(), "ManifestKey", data_node(keys->manifest_key));
    }
    return binary_plist(manifest.get());
}

std::optional<ManifestFacts> read_manifest_plist(std::span<const uint8_t> bytes) {
    PlistPtr manifest = read_dictionary(bytes);
    if (!manifest) {
        return std::nullopt;
    }
    ManifestFacts facts;
    facts.encrypted = tarvo::bool_item(manifest.get(), "IsEncrypted").value_or(false);
    std::optional<std::vector<uint8_t>> keybag = tarvo::data_item(manifest.get(), "BackupKeyBag");
    std::optional<std::vector<uint8_t>> key = tarvo::data_item(manifest.get(), "ManifestKey");
    if (keybag && key) {
        facts.keys = ManifestKeys{*keybag, *key};
    }
    plist_t lockdown = plist_dict_get_item(manifest.get(), "Lockdown");
    if (lockdown && plist_get_node_type(lockdown) == PLIST_DICT) {
        facts.lockdown.reset(plist_copy(lockdown));
    }
    facts.date = unix_seconds_of(plist_dict_get_item(manifest.get(), "Date"));
    return facts;
}

}  // namespace tarvosim
