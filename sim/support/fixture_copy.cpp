/*
 * The first copy of a fixture's folder, made aside and renamed into place.
 */
#include "fixture_copy.h"

#include <system_error>

namespace tarvosim {

bool copy_fixture_folder(const std::string &root, const std::filesystem::path &source,
                         const std::string &what, std::string *error) {
    namespace fs = std::filesystem;
    std::error_code failure;
    if (fs::is_directory(root, failure)) {
        return true;
    }
    // Copied aside and renamed into place, so a copy cut short is never
    // taken for the device's own folder.
    const std::string partial = root + ".partial";
    fs::remove_all(partial, failure);
    failure.clear();
    if (fs::is_directory(source, failure)) {
        fs::copy(source, partial, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
                 failure);
    } else {
        failure.clear();
        fs::create_directories(partial, failure);
    }
    if (!failure) {
        fs::rename(partial, root, failure);
    }
    if (failure) {
        *error = root + ": cannot make " + what + ": " + failure.message();
        return false;
    }
    return true;
}

}  // namespace tarvosim
