/*
 * The first copy of a fixture's folder into the simulator's state: the
 * file conduit's media folder and the backup service's content both start
 * as one, so tests and demos may change them and the fixture stays as it is.
 */
#ifndef TARVO_SIM_FIXTURE_COPY_H
#define TARVO_SIM_FIXTURE_COPY_H

#include <filesystem>
#include <string>

namespace tarvosim {

/// Makes `root` a copy of `source` (an empty folder where the fixture has
/// none), unless `root` already is a folder. On failure *error reads
/// "<root>: cannot make <what>: <reason>".
bool copy_fixture_folder(const std::string &root, const std::filesystem::path &source,
                         const std::string &what, std::string *error);

}  // namespace tarvosim

#endif
