// Building and writing Info.plist.
#include "info_plist.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "device_files.h"
#include "owners.h"
#include "plist_date.h"
#include "signals_and_notifications.h"
#include "unique_fd.h"
#include "utils.h"

namespace {

constexpr const char *kGuidAlphabet = "ABCDEF0123456789";
constexpr int kGuidLength = 32;
constexpr const char *kDefaultITunesVersion = "10.0.1";
constexpr const char *kBooksFile = "/Books/iBooksData2.plist";
constexpr const char *kITunesFolder = "/iTunes_Control/iTunes/";
constexpr const char *kITunesFiles[] = {
    "ApertureAlbumPrefs",   "IC-Info.sidb",      "IC-Info.sidv",      "PhotosFolderAlbums",
    "PhotosFolderName",     "PhotosFolderPrefs", "VoiceMemos.plist",  "iPhotoAlbumPrefs",
    "iTunesApplicationIDs", "iTunesPrefs",       "iTunesPrefs.plist",
};

struct DeviceValues {
    PlistPtr root;             // the whole global domain
    PlistPtr itunes_settings;  // the domain "com.apple.iTunes", or none
    PlistPtr itunes_version;   // "MinITunesVersion", or none
};

PlistPtr lockdown_value(lockdownd_client_t client, const char *domain, const char *key) {
    plist_t value = nullptr;
    lockdownd_get_value(client, domain, key, &value);
    return PlistPtr(value);
}

bool read_device_values(tarvo_t device, DeviceValues *values) {
    lockdownd_client_t client = nullptr;
    if (lockdownd_client_new_with_handshake(device, &client, kToolLabel) != LOCKDOWN_E_SUCCESS) {
        return false;
    }
    values->root = lockdown_value(client, nullptr, nullptr);
    values->itunes_settings = lockdown_value(client, "com.apple.iTunes", nullptr);
    values->itunes_version = lockdown_value(client, "com.apple.mobile.iTunes", "MinITunesVersion");
    lockdownd_client_free(client);
    return values->root && plist_get_node_type(values->root.get()) == PLIST_DICT;
}

struct InstproxyFree {
    void operator()(instproxy_client_t client) const { instproxy_client_free(client); }
};
struct SbservicesFree {
    void operator()(sbservices_client_t client) const { sbservices_client_free(client); }
};
struct OptionsFree {
    void operator()(plist_t options) const { instproxy_client_options_free(options); }
};

// The user applications with the three attributes a backup keeps.
PlistPtr browse_user_applications(instproxy_client_t installation) {
    std::unique_ptr<std::remove_pointer_t<plist_t>, OptionsFree> options(
        instproxy_client_options_new());
    instproxy_client_options_add(options.get(), "ApplicationType", "User", nullptr);
    instproxy_client_options_set_return_attributes(options.get(), "CFBundleIdentifier",
                                                   "ApplicationSINF", "iTunesMetadata", nullptr);
    plist_t raw = nullptr;
    instproxy_browse(installation, options.get(), &raw);
    return PlistPtr(raw);
}

plist_t application_entry(plist_t app, const char *bundle_id, sbservices_client_t springboard) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "ApplicationSINF",
                        plist_copy(plist_dict_get_item(app, "ApplicationSINF")));
    if (springboard) {
        char *png = nullptr;
        uint64_t png_size = 0;
        sbservices_get_icon_pngdata(springboard, bundle_id, &png, &png_size);
        CString icon(png);
        if (icon && png_size > 0) {
            plist_dict_set_item(entry, "PlaceholderIcon", plist_new_data(icon.get(), png_size));
        }
    }
    plist_dict_set_item(entry, "iTunesMetadata",
                        plist_copy(plist_dict_get_item(app, "iTunesMetadata")));
    return entry;
}

// "Applications" and "Installed Applications" from the installation proxy,
// with icons from the springboard where it can be reached.
void gather_applications(tarvo_t device, plist_t applications, plist_t installed) {
    instproxy_client_t raw_installation = nullptr;
    if (instproxy_client_start_service(device, &raw_installation, kToolLabel) !=
        INSTPROXY_E_SUCCESS) {
        return;
    }
    std::unique_ptr<std::remove_pointer_t<instproxy_client_t>, InstproxyFree> installation(
        raw_installation);
    PlistPtr list = browse_user_applications(installation.get());
    sbservices_client_t raw_springboard = nullptr;
    if (sbservices_client_start_service(device, &raw_springboard, kToolLabel) !=
        SBSERVICES_E_SUCCESS) {
        printf("Couldn't establish sbservices connection. Continuing anyway.\n");
        raw_springboard = nullptr;
    }
    std::unique_ptr<std::remove_pointer_t<sbservices_client_t>, SbservicesFree> springboard(
        raw_springboard);
    if (!list || plist_get_node_type(list.get()) != PLIST_ARRAY) {
        return;
    }
    for (uint32_t i = 0; i < plist_array_get_size(list.get()); ++i) {
        plist_t app = plist_array_get_item(list.get(), i);
        plist_t bundle = plist_get_node_type(app) == PLIST_DICT
                             ? plist_dict_get_item(app, "CFBundleIdentifier")
                             : nullptr;
        if (!bundle) {
            continue;
        }
        plist_array_append_item(installed, plist_copy(bundle));
        if (plist_get_node_type(bundle) != PLIST_STRING ||
            !plist_dict_get_item(app, "ApplicationSINF") ||
            !plist_dict_get_item(app, "iTunesMetadata")) {
            continue;
        }
        char *raw_id = nullptr;
        plist_get_string_val(bundle, &raw_id);
        CString bundle_id(raw_id);
        if (bundle_id) {
            plist_dict_set_item(applications, bundle_id.get(),
                                application_entry(app, bundle_id.get(), springboard.get()));
        }
    }
}

void set_copy_of_root(plist_t info, const char *key, plist_t root, const char *root_key) {
    if (plist_t value = plist_dict_get_item(root, root_key)) {
        plist_dict_set_item(info, key, plist_copy(value));
    }
}

plist_t new_guid() {
    srand(static_cast<unsigned>(time(nullptr)));
    char guid[kGuidLength + 1];
    for (int i = 0; i < kGuidLength; ++i) {
        guid[i] = kGuidAlphabet[rand() % 16];
    }
    guid[kGuidLength] = '\0';
    return plist_new_string(guid);
}

plist_t device_file_data(afc_client_t afc, const char *path) {
    char *raw = nullptr;
    uint64_t size = 0;
    mobilebackup_afc_get_file_contents(afc, path, &raw, &size);
    CString data(raw);
    return data && size > 0 ? plist_new_data(data.get(), size) : nullptr;
}

plist_t itunes_files(afc_client_t afc) {
    plist_t files = plist_new_dict();
    for (const char *name : kITunesFiles) {
        const std::string path = std::string(kITunesFolder) + name;
        if (plist_t data = device_file_data(afc, path.c_str())) {
            plist_dict_set_item(files, name, data);
        }
    }
    return files;
}

int write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

}  // namespace

plist_t build_info_plist(tarvo_t device, afc_client_t afc, const char *udid) {
    DeviceValues values;
    if (!read_device_values(device, &values)) {
        return nullptr;
    }
    plist_t root = values.root.get();
    PlistPtr applications(plist_new_dict());
    PlistPtr installed(plist_new_array());
    gather_applications(device, applications.get(), installed.get());

    plist_t info = plist_new_dict();
    plist_dict_set_item(info, "Applications", applications.release());
    set_copy_of_root(info, "Build Version", root, "BuildVersion");
    set_copy_of_root(info, "Device Name", root, "DeviceName");
    set_copy_of_root(info, "Display Name", root, "DeviceName");
    plist_dict_set_item(info, "GUID", new_guid());
    set_copy_of_root(info, "ICCID", root, "IntegratedCircuitCardIdentity");
    set_copy_of_root(info, "IMEI", root, "InternationalMobileEquipmentIdentity");
    plist_dict_set_item(info, "Installed Applications", installed.release());
    plist_dict_set_item(
        info, "Last Backup Date",
        plist_new_date(static_cast<int32_t>(time(nullptr) - kPlistDateEpochOffset), 0));
    set_copy_of_root(info, "MEID", root, "MobileEquipmentIdentifier");
    plist_t phone = plist_dict_get_item(root, "PhoneNumber");
    if (phone && plist_get_node_type(phone) == PLIST_STRING) {
        plist_dict_set_item(info, "Phone Number", plist_copy(phone));
    }
    set_copy_of_root(info, "Product Type", root, "ProductType");
    set_copy_of_root(info, "Product Version", root, "ProductVersion");
    set_copy_of_root(info, "Serial Number", root, "SerialNumber");
    plist_dict_set_item(info, "Target Identifier", plist_new_string(udid));
    plist_dict_set_item(info, "Target Type", plist_new_string("Device"));
    CString upper(string_toupper(udid));
    plist_dict_set_item(info, "Unique Identifier", plist_new_string(upper ? upper.get() : udid));
    if (plist_t books = device_file_data(afc, kBooksFile)) {
        plist_dict_set_item(info, "iBooks Data 2", books);
    }
    plist_dict_set_item(info, "iTunes Files", itunes_files(afc));
    plist_dict_set_item(
        info, "iTunes Settings",
        values.itunes_settings ? values.itunes_settings.release() : plist_new_dict());
    plist_dict_set_item(info, "iTunes Version",
                        values.itunes_version ? values.itunes_version.release()
                                              : plist_new_string(kDefaultITunesVersion));
    return info;
}

int write_info_plist(const char *path, plist_t info) {
    char *raw_xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(info, &raw_xml, &length);
    CString xml(raw_xml);
    if (!xml) {
        return EINVAL;
    }
    const std::string temporary = std::string(path) + ".tarvo-new";
    UniqueFd fd(
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        return errno;
    }
    int result = write_all(fd.get(), xml.get(), length);
    if (result == 0 && fsync(fd.get()) != 0) {
        result = errno;
    }
    if (close(fd.release()) != 0 && result == 0) {
        result = errno;
    }
    if (result == 0 && rename(temporary.c_str(), path) != 0) {
        result = errno;
    }
    if (result != 0) {
        unlink(temporary.c_str());
    }
    return result;
}
