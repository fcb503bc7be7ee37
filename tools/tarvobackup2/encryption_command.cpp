// "encryption on|off" and "changepw": the passwords (asked for at the
// terminal when not given), the ChangePassword message, the hint to confirm
// on the device, the loop and the outcome.
#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "password_entry.h"
#include "signals_and_notifications.h"

namespace {

// Devices from this version on ask for their passcode to confirm.
constexpr uint32_t kFirstVersionWithPasscodeConfirmation = 0xD0000;

enum class Change { kEnable, kDisable, kNewPassword, kNone };

// The first bit that is set decides, in this order.
Change change_of(int flags) {
    if (flags & CMD_FLAG_ENCRYPTION_ENABLE) {
        return Change::kEnable;
    }
    if (flags & CMD_FLAG_ENCRYPTION_DISABLE) {
        return Change::kDisable;
    }
    return (flags & CMD_FLAG_ENCRYPTION_CHANGEPW) ? Change::kNewPassword : Change::kNone;
}

// One line without echo after "<prompt>: ", empty or not.
void read_password_line(const char *prompt, SecretString *into) {
    char entry[kHiddenInputSize];
    fprintf(stderr, "%s: ", prompt);
    fflush(stderr);
    get_hidden_input(entry);
    fprintf(stderr, "\n");
    into->reset(strdup(entry));
    tarvo::wipe_secret(entry, sizeof entry);
}

bool ask_new_password(SecretString *into) {
    into->reset(ask_for_password("Enter new backup password", 1));
    if (!*into) {
        printf("No backup password given. Aborting.\n");
        return false;
    }
    return true;
}

// Fills the message's passwords; false (after its line) when nothing may be
// sent.
bool fill_passwords(Session &s, Change change, plist_t message) {
    SessionOptions &o = s.options;
    switch (change) {
        case Change::kEnable:
            if (s.will_encrypt) {
                printf("ERROR: Backup encryption is already enabled. Aborting.\n");
                return false;
            }
            if (!o.new_password && !ask_new_password(&o.new_password)) {
                return false;
            }
            plist_dict_set_item(message, "NewPassword", plist_new_string(o.new_password.get()));
            return true;
        case Change::kDisable:
            if (!s.will_encrypt) {
                printf("ERROR: Backup encryption is not enabled. Aborting.\n");
                return false;
            }
            if (!o.password) {
                read_password_line("Enter current backup password", &o.password);
            }
            plist_dict_set_item(message, "OldPassword", plist_new_string(o.password.get()));
            return true;
        case Change::kNewPassword:
            if (!s.will_encrypt) {
                printf(
                    "ERROR: Backup encryption is not enabled so can't change password. "
                    "Aborting.\n");
                return false;
            }
            if (!o.password) {
                read_password_line("Enter old backup password", &o.password);
                o.new_password.reset(ask_for_password("Enter new backup password", 1));
            }
            if (!o.new_password) {
                printf("No backup password given. Aborting.\n");
                return false;
            }
            plist_dict_set_item(message, "NewPassword", plist_new_string(o.new_password.get()));
            plist_dict_set_item(message, "OldPassword", plist_new_string(o.password.get()));
            return true;
        case Change::kNone:
            // A mistyped switch word must not send a password anywhere.
            printf(
                "ERROR: Nothing was sent to the device: the encryption command needs 'on' or "
                "'off'.\n");
            return false;
    }
    return false;
}

struct RelayFree {
    void operator()(diagnostics_relay_client_t client) const {
        diagnostics_relay_goodbye(client);
        diagnostics_relay_client_free(client);
    }
};

bool passcode_configured(tarvo_t device) {
    diagnostics_relay_client_t raw = nullptr;
    if (diagnostics_relay_client_start_service(device, &raw, kToolLabel) !=
        DIAGNOSTICS_RELAY_E_SUCCESS) {
        return false;
    }
    std::unique_ptr<std::remove_pointer_t<diagnostics_relay_client_t>, RelayFree> relay(raw);
    PlistPtr keys(plist_new_array());
    plist_array_append_item(keys.get(), plist_new_string("PasswordConfigured"));
    plist_t raw_answer = nullptr;
    diagnostics_relay_query_mobilegestalt(relay.get(), keys.get(), &raw_answer);
    PlistPtr answer(raw_answer);
    plist_t node = answer && plist_get_node_type(answer.get()) == PLIST_DICT
                       ? plist_access_path(answer.get(), 2, "MobileGestalt", "PasswordConfigured")
                       : nullptr;
    uint8_t configured = 0;
    if (node && plist_get_node_type(node) == PLIST_BOOLEAN) {
        plist_get_bool_val(node, &configured);
    }
    return configured != 0;
}

void print_passcode_hint(const Session &s, Change change) {
    if (s.device_version < kFirstVersionWithPasscodeConfirmation ||
        !passcode_configured(s.device)) {
        return;
    }
    if (change == Change::kNewPassword) {
        print_info(
            "Please confirm changing the backup password by entering the passcode on the "
            "device.\n");
    } else if (change == Change::kEnable) {
        print_info(
            "Please confirm enabling the backup encryption by entering the passcode on the "
            "device.\n");
    } else {
        print_info(
            "Please confirm disabling the backup encryption by entering the passcode on "
            "the device.\n");
    }
}

void print_outcome(Change change, bool completed_ok) {
    switch (change) {
        case Change::kEnable:
            print_info(completed_ok ? "Backup encryption has been enabled successfully.\n"
                                    : "Could not enable backup encryption.\n");
            break;
        case Change::kDisable:
            print_info(completed_ok ? "Backup encryption has been disabled successfully.\n"
                                    : "Could not disable backup encryption.\n");
            break;
        case Change::kNewPassword:
            print_info(completed_ok ? "Backup encryption password has been changed successfully.\n"
                                    : "Could not change backup encryption password.\n");
            break;
        case Change::kNone:
            break;
    }
}

}  // namespace

int run_change_password(Session &s) {
    const Change change = change_of(s.options.command_flags);
    SecretPlistPtr message(plist_new_dict());
    plist_dict_set_item(message.get(), "TargetIdentifier", plist_new_string(s.udid()));
    if (!fill_passwords(s, change, message.get())) {
        return -1;
    }
    mobilebackup2_send_message(s.backup_service, "ChangePassword", message.get());
    message.reset();
    print_passcode_hint(s, change);
    const Mb2LoopResult result = s.run_message_loop();
    print_outcome(change, result.completed_ok);
    return result.operation_result;
}
