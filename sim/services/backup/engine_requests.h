/*
 * The requests the backup engine answers itself, and their table: each is
 * a row unless a script overrides it. The table is apart from the choice
 * between script and row (backup_requests.h) because the fault knobs
 * check the request names they are given against it.
 */
#ifndef TARVO_SIM_ENGINE_REQUESTS_H
#define TARVO_SIM_ENGINE_REQUESTS_H

#include <span>
#include <string_view>

#include "backup_call.h"

namespace tarvosim {

/// A request name and the engine's answer to it.
struct RequestRow {
    std::string_view name;
    RequestHandler handler;
};

/// The device's own answers, one row per request name.
std::span<const RequestRow> engine_request_table();

/// "Backup": the device's content into <root>/<TargetIdentifier>/, full or
/// incremental against the last state read from <root>/<SourceIdentifier>/.
bool answer_backup(const BackupCall &call);

/// "Restore": the device's content rewritten from the finished backup in
/// <root>/<SourceIdentifier>/, as its Options choose.
bool answer_restore(const BackupCall &call);

/// "Unback": the backup in <root>/<SourceIdentifier>/ written back to the
/// host as plain files below _unback_/<Domain>/<relative path>.
bool answer_unback(const BackupCall &call);

/// "Info" and "List": the backup in <root>/<SourceIdentifier>/ summed up, and its files as CSV.
bool answer_info(const BackupCall &call);
bool answer_list(const BackupCall &call);

/// "ChangePassword": NewPassword alone turns encryption on, OldPassword
/// alone turns it off, both change the password. Answered beside the
/// settings it keeps (password_engine.cpp), as is EnableCloudBackup.
bool answer_change_password(const BackupCall &call);

/// "EnableCloudBackup": Options {"CloudBackupState": bool}.
bool answer_enable_cloud_backup(const BackupCall &call);

}  // namespace tarvosim

#endif
