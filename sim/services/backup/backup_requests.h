/*
 * The requests the backup service answers. A request whose name has steps
 * in the fixture's backup script is answered by the script instead of the
 * engine's row (engine_requests.h), so hostile and fault cases are played
 * as written; a request with neither gets a final Response saying that the
 * device has no answer for it.
 */
#ifndef TARVO_SIM_BACKUP_REQUESTS_H
#define TARVO_SIM_BACKUP_REQUESTS_H

#include <cstdint>

#include "backup_call.h"

namespace tarvosim {

/// The ErrorCode when the device has no answer for a request.
inline constexpr uint64_t kNoScriptForRequest = 1;

/// Answers `call`: the fixture's script for its name when there is one,
/// else the engine's row, else the "no answer" Response.
bool answer_backup_request(const BackupCall &call);

}  // namespace tarvosim

#endif
