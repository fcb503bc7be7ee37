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

}  // namespace tarvosim

#endif
