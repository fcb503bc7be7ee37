/*
 * The names of domains and relative paths in a device's content, and the
 * checks that keep a hostile one (from a backup or a fixture) inside its
 * domain. On their own so that the fixture's synthetic content can check
 * its domains without the content folder that reads them.
 */
#ifndef TARVO_SIM_CONTENT_PATHS_H
#define TARVO_SIM_CONTENT_PATHS_H

#include <string_view>
#include <vector>

namespace tarvosim {

/// Whether `domain` is a plain domain name (no "/", not "." or "..", no NUL).
bool is_safe_domain(std::string_view domain);
/// Whether every part of `path` is a plain name ("" is the domain itself).
bool is_safe_relative_path(std::string_view path);

/// The parts of a relative path between its slashes, in order; none for "".
std::vector<std::string_view> parts_of(std::string_view path);

}  // namespace tarvosim

#endif
