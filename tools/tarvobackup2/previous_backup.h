/*
 * The last finished backup of a device, kept while a new one is made over
 * it. The device writes an incremental backup into the folder of the last
 * one (Status.plist says "uploading" first, changed files are replaced,
 * deleted ones removed), so a backup cut short by a vanished device,
 * Ctrl-C or a crash would leave neither backup whole. Before the request
 * the folder is copied as hard links beside it (cheap: no content is
 * copied; every write into the folder makes a new file and renames it,
 * so the copy's files never change), and afterwards the copy is dropped
 * (finished) or put back (not finished). A copy left by a run that died
 * is settled the same way by the next run that reads the folder.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_PREVIOUS_BACKUP_H
#define TARVO_TOOLS_TARVOBACKUP2_PREVIOUS_BACKUP_H

#include <string>

/// The name of the copy of DIRECTORY/UDID, in DIRECTORY.
std::string previous_backup_name(const char *udid);

/// Settles a copy a dead run left: when DIRECTORY/UDID does not hold a
/// finished backup, the copy takes its place; otherwise the copy goes.
/// Prints a line when it puts a backup back.
void settle_interrupted_backup(const char *directory, const char *udid);

class PreviousBackup {
  public:
    /// Keeps DIRECTORY/UDID when it holds a finished backup. When the copy
    /// cannot be made (no hard links on that file system, say) a line on
    /// standard error says so and the backup goes on without it.
    PreviousBackup(const char *directory, const char *udid);
    /// Not settled: put back, as after a failure.
    ~PreviousBackup();
    PreviousBackup(const PreviousBackup &) = delete;
    PreviousBackup &operator=(const PreviousBackup &) = delete;

    /// The new backup finished: the copy goes. Otherwise it is put back
    /// (or, when that fails, left for the next run to settle).
    void settle(bool finished);
    bool kept() const { return kept_; }

  private:
    std::string folder_;
    std::string copy_;
    bool kept_ = false;
};

#endif
