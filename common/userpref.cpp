/*
 * The host's pair-record store: configuration folder, system BUID, the list
 * of paired devices, and pair records saved, read and deleted through the
 * multiplexer daemon.
 */
#include <dirent.h>
#include <usbmuxd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "owners.h"
#include "plist_untrusted.h"
#include "secrets.h"
#include "userpref.h"

namespace {

// Filled on first use and kept for the life of the process (never freed).
// Not locked: a multi-threaded caller fills it once before sharing the module.
char *g_config_dir = nullptr;

// Pair records are a few kilobytes of keys and certificates; the daemon's
// files are anyone's to edit, so a larger one is refused before parsing.
constexpr uint32_t kMaxPairRecordBytes = 1024 * 1024;

constexpr std::string_view kRecordSuffix = ".plist";
constexpr std::string_view kSystemConfigurationFile = "SystemConfiguration.plist";

#ifdef __APPLE__
constexpr const char *kDefaultConfigDir = "/var/db/lockdown";
#else
constexpr const char *kDefaultConfigDir = "/var/lib/lockdown";
#endif

// Both buffers hold a record's private keys in the clear.
struct PlistBinFree {
    uint32_t size = 0;
    void operator()(char *bin) const {
        tarvo::wipe_secret(bin, size);
        plist_to_bin_free(bin);
    }
};
struct RecordBufferFree {
    uint32_t size = 0;
    void operator()(char *data) const {
        tarvo::wipe_secret(data, size);
        std::free(data);
    }
};

char *build_config_dir() {
    const char *from_env = std::getenv("TARVO_LOCKDOWN_DIR");
    const char *base = (from_env && *from_env) ? from_env : kDefaultConfigDir;
    char *dir = strdup(base);
    if (!dir) {
        return nullptr;
    }
    for (std::size_t len = std::strlen(dir); len > 1 && dir[len - 1] == '/'; --len) {
        dir[len - 1] = '\0';
    }
    return dir;
}

bool is_record_file_name(std::string_view name) {
    if (name == kSystemConfigurationFile) {
        return false;
    }
    const std::size_t dot = name.rfind('.');
    return dot != std::string_view::npos && name.substr(dot) == kRecordSuffix;
}

/// Appends a copy of `udid` to the null-ended array; false when out of memory
/// (the array is then unchanged and still null-ended).
bool append_udid(char ***list, unsigned int *used, std::string_view udid) {
    char **grown = static_cast<char **>(std::realloc(*list, sizeof(char *) * (*used + 2)));
    if (!grown) {
        return false;
    }
    *list = grown;
    char *copy = static_cast<char *>(std::malloc(udid.size() + 1));
    if (!copy) {
        return false;
    }
    std::memcpy(copy, udid.data(), udid.size());
    copy[udid.size()] = '\0';
    grown[(*used)++] = copy;
    grown[*used] = nullptr;
    return true;
}

}  // namespace

const char *userpref_get_config_dir(void) {
    if (!g_config_dir) {
        g_config_dir = build_config_dir();
    }
    return g_config_dir;
}

int userpref_read_system_buid(char **system_buid) {
    if (!system_buid) {
        return USERPREF_E_INVALID_ARG;
    }
    return usbmuxd_read_buid(system_buid);
}

int userpref_get_paired_udids(char ***list, unsigned int *count) {
    if (!list || *list) {
        return USERPREF_E_INVALID_ARG;
    }
    if (count) {
        *count = 0;
    }
    char **udids = static_cast<char **>(std::malloc(sizeof(char *)));
    if (!udids) {
        std::fputs("ERROR: Out of memory\n", stderr);
        return USERPREF_E_SUCCESS;  // nothing gathered; *list stays null
    }
    udids[0] = nullptr;
    unsigned int found = 0;

    const char *config_dir = userpref_get_config_dir();
    DirPtr dir(config_dir ? opendir(config_dir) : nullptr);
    while (dir) {
        const dirent *entry = readdir(dir.get());
        if (!entry) {
            break;
        }
        std::string_view name(entry->d_name);
        if (!is_record_file_name(name)) {
            continue;
        }
        if (!append_udid(&udids, &found, name.substr(0, name.size() - kRecordSuffix.size()))) {
            std::fputs("ERROR: Out of memory\n", stderr);
            break;
        }
    }
    *list = udids;
    if (count) {
        *count = found;
    }
    return USERPREF_E_SUCCESS;
}

int userpref_save_pair_record(const char *udid, uint32_t device_id, plist_t pair_record) {
    if (!udid || !pair_record) {
        return USERPREF_E_INVALID_ARG;
    }
    char *bin_raw = nullptr;
    uint32_t size = 0;
    plist_to_bin(pair_record, &bin_raw, &size);
    std::unique_ptr<char, PlistBinFree> bin(bin_raw, PlistBinFree{size});
    if (!bin) {
        return USERPREF_E_UNKNOWN_ERROR;
    }
    int rc = usbmuxd_save_pair_record_with_device_id(udid, device_id, bin.get(), size);
    return rc == 0 ? USERPREF_E_SUCCESS : USERPREF_E_UNKNOWN_ERROR;
}

int userpref_read_pair_record(const char *udid, plist_t *pair_record) {
    if (!udid || !pair_record) {
        return USERPREF_E_INVALID_ARG;
    }
    char *data = nullptr;
    uint32_t size = 0;
    int rc = usbmuxd_read_pair_record(udid, &data, &size);
    std::unique_ptr<char, RecordBufferFree> owned(data, RecordBufferFree{data ? size : 0});
    if (rc < 0) {
        if (rc == -ENOENT) {
            return USERPREF_E_NOENT;
        }
        if (rc == -ETIMEDOUT) {
            return USERPREF_E_READ_ERROR;
        }
        return USERPREF_E_INVALID_CONF;
    }
    // The daemon hands on whatever its record file holds, so the record is
    // checked like any message from a device.
    *pair_record = owned && size <= kMaxPairRecordBytes
                       ? tarvo::plist_from_untrusted_memory(owned.get(), size)
                       : nullptr;
    return *pair_record ? USERPREF_E_SUCCESS : USERPREF_E_INVALID_CONF;
}

int userpref_delete_pair_record(const char *udid) {
    if (!udid) {
        return USERPREF_E_INVALID_ARG;
    }
    return usbmuxd_delete_pair_record(udid) == 0 ? USERPREF_E_SUCCESS : USERPREF_E_UNKNOWN_ERROR;
}
