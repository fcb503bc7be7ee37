/*
 * Persistence of a simulated device's keys, trusted hosts and changed values.
 * The state holds the device's private key and its backup class keys, so
 * its folders are 0700 and the file 0600 whatever the umask.
 */
#include "device_state.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "device_keys.h"
#include "pair_record_store.h"
#include "plist_dict_walk.h"
#include "plist_items.h"
#include "plist_untrusted.h"
#include "secrets.h"

namespace tarvosim {
namespace {

/// The data under `key`; empty when absent or of another type.
std::vector<uint8_t> data_or_empty(plist_t dict, const char *key) {
    return tarvo::data_item(dict, key).value_or(std::vector<uint8_t>());
}

/// The same as text: the certificates are kept as PEM data.
std::string data_item_text(plist_t dict, const char *key) {
    const std::vector<uint8_t> bytes = data_or_empty(dict, key);
    return std::string(bytes.begin(), bytes.end());
}

void set_data(plist_t dict, const char *key, std::span<const uint8_t> bytes) {
    plist_dict_set_item(dict, key,
                        plist_new_data(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

PlistPtr dictionary_from_xml(const std::string &xml) {
    PlistPtr owned(tarvo::plist_from_untrusted_memory(xml.data(), xml.size()));
    return plist_get_node_type(owned.get()) == PLIST_DICT ? std::move(owned) : nullptr;
}

/// The entry's "HostInfo" dictionary as XML text; "" when there is none.
std::string host_info_xml_of(plist_t entry) {
    plist_t info = plist_dict_get_item(entry, "HostInfo");
    if (!info || plist_get_node_type(info) != PLIST_DICT) {
        return {};
    }
    char *xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(info, &xml, &size);
    std::string text = xml ? std::string(xml, size) : std::string();
    plist_to_xml_free(xml);
    return text;
}

bool make_dirs(const std::string &path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') {
            continue;
        }
        const std::string prefix = path.substr(0, pos);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DeviceState::DeviceState(std::string state_dir, std::string udid)
    : dir_(state_dir + "/devices/" + udid), file_(state_file(state_dir, udid)) {}

std::string DeviceState::state_file(const std::string &state_dir, const std::string &udid) {
    return state_dir + "/devices/" + udid + "/state.plist";
}

bool DeviceState::open(std::span<const uint8_t> fixture_key_pem, std::string *error) {
    std::lock_guard lock(mutex_);
    if (!make_dirs(dir_)) {
        *error = dir_ + ": cannot create the device's state folder";
        return false;
    }
    if (!load_locked(error)) {
        return false;
    }
    bool generated = false;
    if (!fixture_key_pem.empty()) {
        key_ = rsa_private_key_from_pem(fixture_key_pem, error);
        key_is_own_ = false;
    } else if (!key_) {
        key_ = generate_rsa_key(kDeviceKeyBits, error);
        key_is_own_ = true;
        generated = true;
    }
    if (!key_) {
        return false;
    }
    public_key_pem_ = rsa_public_key_to_pkcs1_pem(key_.get());
    if (public_key_pem_.empty()) {
        *error = "cannot encode the device's public key: " + take_openssl_errors();
        return false;
    }
    if (generated && !save_locked()) {
        *error = file_ + ": cannot be written";
        return false;
    }
    return true;
}

bool DeviceState::load_locked(std::string *error) {
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) {
        return true;  // a device that never ran: nothing remembered yet
    }
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxStateFileSize) {
        *error = file_ + ": not a regular file of at most 64 MiB";
        return false;
    }
    std::ifstream in(file_, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PlistPtr root;
    if (!in.bad() && bytes.size() <= kMaxStateFileSize) {
        root.reset(tarvo::plist_from_untrusted_memory(bytes.data(), bytes.size()));
    }
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        *error = file_ + ": damaged (not a property-list dictionary); remove it to start afresh";
        return false;
    }

    std::vector<uint8_t> key_pem = data_or_empty(root.get(), "DevicePrivateKey");
    if (!key_pem.empty()) {
        std::string why;
        key_ = rsa_private_key_from_pem(key_pem, &why);
        if (!key_) {
            *error = file_ + ": key \"DevicePrivateKey\": " + why;
            return false;
        }
        key_is_own_ = true;
    }

    plist_t hosts = plist_dict_get_item(root.get(), "TrustedHosts");
    if (hosts && plist_get_node_type(hosts) == PLIST_DICT) {
        for_each_dict_item(hosts, [this](const std::string &host_id, plist_t entry) {
            if (plist_get_node_type(entry) != PLIST_DICT) {
                return true;
            }
            TrustedHost host;
            host.host_id = host_id;
            host.system_buid = tarvo::string_item(entry, "SystemBUID").value_or("");
            host.root_certificate = data_item_text(entry, "RootCertificate");
            host.host_certificate = data_item_text(entry, "HostCertificate");
            host.device_certificate = data_item_text(entry, "DeviceCertificate");
            host.escrow_bag = data_or_empty(entry, "EscrowBag");
            host.host_info_xml = host_info_xml_of(entry);
            hosts_[host_id] = std::move(host);
            return true;
        });
    }

    auto load_changes = [this](const std::string &domain, plist_t entry) {
        if (plist_get_node_type(entry) != PLIST_DICT) {
            return;
        }
        ValueChanges changes;
        plist_t set = plist_dict_get_item(entry, "Set");
        if (set && plist_get_node_type(set) == PLIST_DICT) {
            changes.set.reset(plist_copy(set));
        }
        plist_t removed = plist_dict_get_item(entry, "Removed");
        if (removed && plist_get_node_type(removed) == PLIST_ARRAY) {
            for (uint32_t i = 0; i < plist_array_get_size(removed); ++i) {
                if (std::optional<std::string> key = tarvo::string_at(removed, i)) {
                    changes.removed.insert(std::move(*key));
                }
            }
        }
        changes_[domain] = std::move(changes);
    };
    if (plist_t global = plist_dict_get_item(root.get(), "GlobalValues")) {
        load_changes("", global);
    }
    plist_t domains = plist_dict_get_item(root.get(), "DomainValues");
    if (domains && plist_get_node_type(domains) == PLIST_DICT) {
        for_each_dict_item(domains, [&](const std::string &domain, plist_t entry) {
            if (!domain.empty()) {
                load_changes(domain, entry);
            }
            return true;
        });
    }
    return true;
}

PlistPtr DeviceState::to_plist_locked() const {
    PlistPtr root(plist_new_dict());
    if (key_is_own_) {
        set_data(root.get(), "DevicePrivateKey", as_bytes(private_key_to_pem(key_.get())));
    }
    plist_t hosts = plist_new_dict();
    for (const auto &[host_id, host] : hosts_) {
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "SystemBUID", plist_new_string(host.system_buid.c_str()));
        set_data(entry, "RootCertificate", as_bytes(host.root_certificate));
        set_data(entry, "HostCertificate", as_bytes(host.host_certificate));
        set_data(entry, "DeviceCertificate", as_bytes(host.device_certificate));
        set_data(entry, "EscrowBag", host.escrow_bag);
        if (PlistPtr info = dictionary_from_xml(host.host_info_xml)) {
            plist_dict_set_item(entry, "HostInfo", info.release());
        }
        plist_dict_set_item(hosts, host_id.c_str(), entry);
    }
    plist_dict_set_item(root.get(), "TrustedHosts", hosts);

    plist_t domains = plist_new_dict();
    for (const auto &[domain, changes] : changes_) {
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "Set", plist_copy(changes.set.get()));
        plist_t removed = plist_new_array();
        for (const std::string &key : changes.removed) {
            plist_array_append_item(removed, plist_new_string(key.c_str()));
        }
        plist_dict_set_item(entry, "Removed", removed);
        if (domain.empty()) {
            plist_dict_set_item(root.get(), "GlobalValues", entry);
        } else {
            plist_dict_set_item(domains, domain.c_str(), entry);
        }
    }
    plist_dict_set_item(root.get(), "DomainValues", domains);
    return root;
}

bool DeviceState::save_locked() const {
    PlistPtr root = to_plist_locked();
    char *xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(root.get(), &xml, &size);
    tarvo::plist_wipe_secrets(root.get());
    if (!xml) {
        return false;
    }
    // Written through a temporary created 0600 and renamed over the file.
    const bool ok = write_file_atomically(
        file_, std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(xml), size));
    tarvo::wipe_secret(xml, size);
    plist_to_xml_free(xml);
    return ok;
}

bool DeviceState::trust(const TrustedHost &host) {
    std::lock_guard lock(mutex_);
    hosts_[host.host_id] = host;
    return save_locked();
}

std::optional<TrustedHost> DeviceState::trusted_host(std::string_view host_id) const {
    std::lock_guard lock(mutex_);
    auto found = hosts_.find(host_id);
    if (found == hosts_.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool DeviceState::forget(std::string_view host_id, bool *known) {
    std::lock_guard lock(mutex_);
    auto found = hosts_.find(host_id);
    *known = found != hosts_.end();
    if (!*known) {
        return true;
    }
    hosts_.erase(found);
    return save_locked();
}

PlistPtr DeviceState::effective_domain(const std::string &domain, plist_t base) const {
    std::lock_guard lock(mutex_);
    auto found = changes_.find(domain);
    if (!base && found == changes_.end()) {
        return nullptr;
    }
    PlistPtr merged(base ? plist_copy(base) : plist_new_dict());
    if (found != changes_.end()) {
        for (const std::string &key : found->second.removed) {
            plist_dict_remove_item(merged.get(), key.c_str());
        }
        for_each_dict_item(found->second.set.get(), [&](const std::string &key, plist_t value) {
            plist_dict_set_item(merged.get(), key.c_str(), plist_copy(value));
            return true;
        });
    }
    return merged;
}

bool DeviceState::set_value(const std::string &domain, const std::string &key, plist_t value) {
    std::lock_guard lock(mutex_);
    ValueChanges &changes = changes_[domain];
    changes.removed.erase(key);
    plist_dict_set_item(changes.set.get(), key.c_str(), plist_copy(value));
    return save_locked();
}

bool DeviceState::remove_value(const std::string &domain, const std::string &key) {
    std::lock_guard lock(mutex_);
    ValueChanges &changes = changes_[domain];
    plist_dict_remove_item(changes.set.get(), key.c_str());
    changes.removed.insert(key);
    return save_locked();
}

}  // namespace tarvosim
