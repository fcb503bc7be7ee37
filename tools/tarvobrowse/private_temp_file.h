/*
 * A private temporary file (mode 0600, in $TMPDIR or /tmp) for the
 * decrypted Manifest.db. It is removed when the owner goes or remove() is
 * called, and on SIGINT, SIGTERM, SIGHUP, SIGQUIT or SIGPIPE while it
 * exists: the handler unlinks it and lets the signal take its usual course.
 * At most one exists at a time.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_PRIVATE_TEMP_FILE_H
#define TARVO_TOOLS_TARVOBROWSE_PRIVATE_TEMP_FILE_H

#include <string>

#include "unique_fd.h"

namespace browse {

class PrivateTempFile {
  public:
    PrivateTempFile() = default;
    ~PrivateTempFile() { remove(); }
    PrivateTempFile(const PrivateTempFile &) = delete;
    PrivateTempFile &operator=(const PrivateTempFile &) = delete;

    /// Makes the file, open for reading and writing. False with `error`.
    bool create(std::string *error);
    int fd() const { return fd_.get(); }
    const std::string &path() const { return path_; }
    /// Unlinks the file (the descriptor stays open) and gives the signals
    /// back. Safe to call twice.
    void remove();

  private:
    UniqueFd fd_;
    std::string path_;
};

}  // namespace browse

#endif
