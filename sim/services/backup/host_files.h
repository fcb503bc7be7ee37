/*
 * What the device asks of the host's backup folder during a request, one
 * device-link message each, waiting for the host's status response:
 * download files, upload a batch, make folders, move, remove, copy, and
 * ask for the free space. Every path is relative to the host's backup
 * root, and every download is capped before it is read. When the request
 * runs with fault knobs (backup_faults.h), every message and every byte of
 * the upload stream passes them first.
 */
#ifndef TARVO_SIM_HOST_FILES_H
#define TARVO_SIM_HOST_FILES_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "file_stream.h"
#include "status_answer.h"

namespace tarvosim {

class FaultPlayer;

/// One file of a batched download: what to ask for, at most how many
/// bytes to take, where they go, and whether the host had it.
struct WantedFile {
    std::string path;
    uint64_t cap = 0;
    ContentSink sink;
    bool missing = true;  // set by the download: the host sent an error frame or nothing
};

class HostFiles {
  public:
    /// Plays the knobs armed on `channel` for the running request, if any.
    explicit HostFiles(DlChannel &channel);

    /// Asks for all `files` in one DLMessageDownloadFiles: one round trip
    /// however many there are. The host must send them in the order asked
    /// (it may leave some out, which stay missing).
    StreamStatus download_all(std::vector<WantedFile> &files, double progress = 0);
    /// Asks for one file; its content goes to `sink`. *missing when the
    /// host answered with an error frame.
    StreamStatus download(const std::string &path, uint64_t cap, const ContentSink &sink,
                          bool *missing, double progress = 0);
    /// The same into memory.
    StreamStatus download_bytes(const std::string &path, uint64_t cap, std::vector<uint8_t> *out,
                                bool *missing);
    /// The same into the local file `local` (made anew).
    StreamStatus download_file(const std::string &path, uint64_t cap, const std::string &local,
                               bool *missing, double progress = 0);

    /// Sends one DLMessageUploadFiles with its stream; the host must answer 0.
    StreamStatus upload(const std::vector<OutgoingFile> &files, double progress);
    StreamStatus create_directory(const std::string &path);
    StreamStatus move(const std::vector<std::pair<std::string, std::string>> &moves,
                      double progress);
    StreamStatus remove(const std::vector<std::string> &paths, double progress);
    StreamStatus copy(const std::string &from, const std::string &to);
    StreamStatus free_space(uint64_t *bytes);

    DlChannel &channel() { return channel_; }

  private:
    /// Sends one device-link message; false when the link is gone or the
    /// device vanished around it.
    bool send(plist_t message);
    /// Between files of an upload stream; false when the device vanished.
    bool at_file_boundary();
    /// The host's status response to the message just sent must be 0.
    StreamStatus expect_success(const std::string &what);

    DlChannel &channel_;
    FaultPlayer *faults_;  // null: no knobs
    UploadWriter writer_;  // its buffer serves every upload of the request
};

/// Opens `path` for a download's content as a new file (0600): whatever
/// was there is unlinked rather than truncated, since truncating a file
/// whose pages are not written yet makes the file system write them out
/// when it is closed. -1 when it cannot be made.
int create_download_file(const std::string &path);
/// A download sink that writes to `fd`, failing the stream with `local`'s
/// name when the file cannot be written.
ContentSink file_sink(int fd, const std::string &local);

/// An upload of bytes held in memory.
OutgoingFile outgoing_bytes(const std::string &local_path, std::vector<uint8_t> bytes);

}  // namespace tarvosim

#endif
