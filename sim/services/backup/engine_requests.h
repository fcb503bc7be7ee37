/*
 * The requests the backup engine answers itself (rows of the request
 * table unless a script overrides them).
 */
#ifndef TARVO_SIM_ENGINE_REQUESTS_H
#define TARVO_SIM_ENGINE_REQUESTS_H

#include "backup_requests.h"

namespace tarvosim {

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

}  // namespace tarvosim

#endif
