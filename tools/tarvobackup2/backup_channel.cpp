// The backup channel over the library's backup-service client.
#include "backup_channel.h"

int Mobilebackup2Channel::receive_message(plist_t *message, char **name) {
    return mobilebackup2_receive_message(client_, message, name);
}

int Mobilebackup2Channel::send_status_response(int code, const char *text, plist_t value) {
    return mobilebackup2_send_status_response(client_, code, text, value);
}

int Mobilebackup2Channel::send_raw(const char *data, uint32_t length, uint32_t *sent) {
    return mobilebackup2_send_raw(client_, data, length, sent);
}

int Mobilebackup2Channel::receive_raw(char *data, uint32_t length, uint32_t *received) {
    return mobilebackup2_receive_raw(client_, data, length, received);
}
