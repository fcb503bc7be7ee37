/*
 * BackupChannel: what the message loop and its handlers need of the
 * backup service connection. The program uses the library's backup-service
 * client (backup_channel.cpp); tests put a scripted peer in its place.
 * Every call keeps the library's contract: 0 on success, the library's code
 * otherwise, out-parameters owned by the caller.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_BACKUP_CHANNEL_H
#define TARVO_TOOLS_TARVOBACKUP2_BACKUP_CHANNEL_H

#include <plist/plist.h>
#include <stdint.h>

#include "tarvo.h"

class BackupChannel {
  public:
    virtual ~BackupChannel() = default;

    /// One device-link message within the library's wait; -5 when none came
    /// (not a failure). *message and *name (a heap copy of element 0) belong
    /// to the caller.
    virtual int receive_message(plist_t *message, char **name) = 0;
    /// The answer to one message. The caller keeps `text` and `value`.
    virtual int send_status_response(int code, const char *text, plist_t value) = 0;
    virtual int send_raw(const char *data, uint32_t length, uint32_t *sent) = 0;
    /// Up to `length` bytes; *received is 0 when nothing arrived in time.
    virtual int receive_raw(char *data, uint32_t length, uint32_t *received) = 0;
};

/// The channel over the library's backup-service client (not owned).
class Mobilebackup2Channel final : public BackupChannel {
  public:
    explicit Mobilebackup2Channel(mobilebackup2_client_t client) : client_(client) {}

    int receive_message(plist_t *message, char **name) override;
    int send_status_response(int code, const char *text, plist_t value) override;
    int send_raw(const char *data, uint32_t length, uint32_t *sent) override;
    int receive_raw(char *data, uint32_t length, uint32_t *received) override;

  private:
    mobilebackup2_client_t client_;
};

#endif
