/*
 * ChangePassword and EnableCloudBackup as devices answer them. The keybag
 * made for a new password is kept in the device's state with WillEncrypt,
 * so lockdown's GetValue, later backups and later password changes all see
 * one setting. A wrong old password changes nothing.
 */
#include "password_engine.h"

#include <openssl/crypto.h>

#include "backup_crypto.h"
#include "engine_requests.h"
#include "engine_support.h"
#include "plist_items.h"

namespace tarvosim {
namespace {

// Passwords a host may send; devices take far shorter ones.
constexpr std::size_t kMaxPasswordBytes = 4096;

/// A password from the request, wiped when it goes.
class Password {
  public:
    explicit Password(std::optional<std::string> text) : text_(std::move(text)) {}
    ~Password() {
        if (text_ && !text_->empty()) {
            OPENSSL_cleanse(text_->data(), text_->size());
        }
    }
    Password(const Password &) = delete;
    Password &operator=(const Password &) = delete;

    bool given() const { return text_.has_value(); }
    bool too_long() const { return text_ && text_->size() > kMaxPasswordBytes; }
    std::string_view view() const { return text_ ? std::string_view(*text_) : std::string_view(); }

  private:
    std::optional<std::string> text_;
};

/// The fixture's BackupDPIC when it is a usable count, else the devices' own.
uint32_t keybag_dpic(const BackupDevice &device) {
    plist_t domain = plist_dict_get_item(device.context.fixture.domains.get(), kBackupDomain);
    const uint64_t value = tarvo::uint_item(domain, kFixtureDpicKey).value_or(0);
    return value >= 1 && value <= tarvo::kMaxKeybagIterations ? static_cast<uint32_t>(value)
                                                              : tarvo::kDeviceKeybagDpic;
}

/// The class keys as stored: for each class, 4 bytes big-endian, then the key.
std::vector<uint8_t> class_key_bytes(const tarvo::BackupClassKeys &keys) {
    std::vector<uint8_t> bytes;
    for (uint32_t c = tarvo::kFirstProtectionClass; c <= tarvo::kLastProtectionClass; ++c) {
        if (const tarvo::BackupKey *key = keys.find(c)) {
            const uint8_t head[4] = {0, 0, 0, static_cast<uint8_t>(c)};
            bytes.insert(bytes.end(), head, head + 4);
            bytes.insert(bytes.end(), key->data(), key->data() + key->size());
        }
    }
    return bytes;
}

std::optional<tarvo::BackupClassKeys> class_keys_of(std::span<const uint8_t> bytes) {
    constexpr std::size_t kItem = 4 + tarvo::kBackupKeySize;
    if (bytes.empty() || bytes.size() % kItem != 0) {
        return std::nullopt;
    }
    tarvo::BackupClassKeys keys;
    for (std::size_t at = 0; at < bytes.size(); at += kItem) {
        const uint32_t c = uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
                           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
        keys.set(c, tarvo::BackupKey(bytes.subspan(at + 4).first<tarvo::kBackupKeySize>()));
    }
    return keys;
}

std::optional<std::vector<uint8_t>> kept_data(const BackupDevice &device, const char *key) {
    PlistPtr domain = device.context.state.effective_domain(kKeybagDomain, nullptr);
    return tarvo::data_item(domain.get(), key);
}

bool keep_data(const BackupDevice &device, const char *key, const std::vector<uint8_t> &bytes) {
    PlistPtr data(plist_new_data(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
    return device.context.state.set_value(kKeybagDomain, key, data.get());
}

std::optional<tarvo::BackupKeybag> parsed_keybag(const BackupDevice &device) {
    std::optional<std::vector<uint8_t>> bytes = kept_data(device, kKeybagKey);
    tarvo::BackupKeybag keybag;
    if (!bytes || tarvo::parse_keybag(*bytes, keybag) != tarvo::BackupCryptoResult::kOk) {
        return std::nullopt;
    }
    return keybag;
}

bool refuse_password(const BackupCall &call, tarvo::BackupCryptoResult result) {
    return result == tarvo::BackupCryptoResult::kWrongPassword
               ? respond(call, kEngineWrongPassword, "The password is incorrect")
               : respond(
                     call, kEngineDeviceFailed,
                     std::string("the device cannot use its keybag: ") + tarvo::to_string(result));
}

bool turn_on(const BackupCall &call, const Password &password) {
    tarvo::BackupKeybag keybag;
    tarvo::BackupClassKeys keys;
    const tarvo::BackupCryptoResult made =
        tarvo::create_backup_keybag(password.view(), keybag_dpic(call.device), keybag, keys);
    if (made != tarvo::BackupCryptoResult::kOk) {
        return refuse_password(call, made);
    }
    if (!keep_backup_keys(call.device, &keybag, &keys)) {
        return respond(call, kEngineDeviceFailed, "the device cannot keep its keybag");
    }
    call.device.note("backup encryption turned on");
    return respond(call, 0, "");
}

bool turn_off(const BackupCall &call, const tarvo::BackupKeybag &keybag, const Password &password) {
    tarvo::BackupClassKeys keys;
    const tarvo::BackupCryptoResult opened = tarvo::unlock_keybag(keybag, password.view(), keys);
    if (opened != tarvo::BackupCryptoResult::kOk) {
        return refuse_password(call, opened);
    }
    if (!keep_backup_keys(call.device, nullptr, nullptr)) {
        return respond(call, kEngineDeviceFailed, "the device cannot drop its keybag");
    }
    call.device.note("backup encryption turned off");
    return respond(call, 0, "");
}

bool change(const BackupCall &call, const tarvo::BackupKeybag &keybag, const Password &old_password,
            const Password &new_password) {
    tarvo::BackupKeybag rewrapped;
    tarvo::BackupCryptoResult done =
        tarvo::rewrap_keybag(keybag, old_password.view(), new_password.view(), rewrapped);
    // The class keys stay what they were; opening the new keybag gives them.
    tarvo::BackupClassKeys keys;
    if (done == tarvo::BackupCryptoResult::kOk) {
        done = tarvo::unlock_keybag(rewrapped, new_password.view(), keys);
    }
    if (done != tarvo::BackupCryptoResult::kOk) {
        return refuse_password(call, done);
    }
    if (!keep_backup_keys(call.device, &rewrapped, &keys)) {
        return respond(call, kEngineDeviceFailed, "the device cannot keep its keybag");
    }
    call.device.note("backup password changed");
    return respond(call, 0, "");
}

}  // namespace

bool will_encrypt(const BackupDevice &device) {
    const ServiceContext &context = device.context;
    plist_t base = plist_dict_get_item(context.fixture.domains.get(), kBackupDomain);
    PlistPtr domain = context.state.effective_domain(kBackupDomain, base);
    return tarvo::bool_item(domain.get(), kWillEncryptKey).value_or(false);
}

std::optional<DeviceBackupKeys> device_backup_keys(const BackupDevice &device) {
    if (!will_encrypt(device)) {
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> keybag = kept_data(device, kKeybagKey);
    std::optional<std::vector<uint8_t>> stored = kept_data(device, kClassKeysKey);
    std::optional<tarvo::BackupClassKeys> keys = stored ? class_keys_of(*stored) : std::nullopt;
    if (!keybag || !keys) {
        return std::nullopt;
    }
    return DeviceBackupKeys{std::move(*keybag), std::move(*keys)};
}

bool keep_backup_keys(const BackupDevice &device, const tarvo::BackupKeybag *keybag,
                      const tarvo::BackupClassKeys *keys) {
    DeviceState &state = device.context.state;
    bool kept = true;
    if (keybag && keys) {
        std::vector<uint8_t> key_bytes = class_key_bytes(*keys);
        kept = keep_data(device, kKeybagKey, tarvo::serialize_keybag(*keybag)) &&
               keep_data(device, kClassKeysKey, key_bytes);
        OPENSSL_cleanse(key_bytes.data(), key_bytes.size());
    } else {
        kept = state.remove_value(kKeybagDomain, kKeybagKey) &&
               state.remove_value(kKeybagDomain, kClassKeysKey);
    }
    PlistPtr flag(plist_new_bool(keybag != nullptr && keys != nullptr));
    return kept && state.set_value(kBackupDomain, kWillEncryptKey, flag.get());
}

bool answer_change_password(const BackupCall &call) {
    const Password old_password(request_string(call.request, "OldPassword"));
    const Password new_password(request_string(call.request, "NewPassword"));
    if (old_password.too_long() || new_password.too_long() ||
        (new_password.given() && new_password.view().empty())) {
        return respond(call, kEngineBadRequest, "the password is empty or too long");
    }
    const bool encrypting = will_encrypt(call.device);
    std::optional<tarvo::BackupKeybag> keybag =
        encrypting ? parsed_keybag(call.device) : std::nullopt;
    if (encrypting && !keybag) {
        return respond(call, kEngineDeviceFailed, "the device has lost its keybag");
    }
    if (!encrypting && new_password.given() && !old_password.given()) {
        return turn_on(call, new_password);
    }
    if (encrypting && old_password.given() && !new_password.given()) {
        return turn_off(call, *keybag, old_password);
    }
    if (encrypting && old_password.given() && new_password.given()) {
        return change(call, *keybag, old_password, new_password);
    }
    return respond(call, kEngineBadRequest,
                   encrypting ? "backups are encrypted: the old password is needed"
                              : "backups are not encrypted: only a new password is taken");
}

bool answer_enable_cloud_backup(const BackupCall &call) {
    plist_t options = plist_dict_get_item(call.request, "Options");
    plist_t node = options && plist_get_node_type(options) == PLIST_DICT
                       ? plist_dict_get_item(options, "CloudBackupState")
                       : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_BOOLEAN) {
        return respond(call, kEngineBadRequest, "Options has no boolean CloudBackupState");
    }
    if (!call.device.context.state.set_value(kBackupDomain, kCloudBackupKey, node)) {
        return respond(call, kEngineDeviceFailed, "the device cannot keep its cloud setting");
    }
    return respond(call, 0, "");
}

}  // namespace tarvosim
