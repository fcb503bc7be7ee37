/*
 * Manifest.db built beside the uploads: during the walk each row and its
 * record are appended to a spool file in the work folder (cheap), and a
 * thread of its own encodes the records and fills Manifest.db while the
 * content goes to the host. Encoding a record costs more than the walk
 * itself, and the manifest is needed only once the content is out, so the
 * host does not wait for it; the spool keeps the device's memory bounded
 * whatever the number of files.
 */
#ifndef TARVO_SIM_MANIFEST_BUILDER_H
#define TARVO_SIM_MANIFEST_BUILDER_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "manifest_db.h"
#include "mb_file.h"

namespace tarvosim {

class ManifestBuilder {
  public:
    /// Spools to `spool_path` (made anew); false from ok() when it cannot.
    explicit ManifestBuilder(std::string spool_path);
    ~ManifestBuilder();  // stops the thread and waits for it
    ManifestBuilder(const ManifestBuilder &) = delete;
    ManifestBuilder &operator=(const ManifestBuilder &) = delete;

    bool ok() const { return spool_ != nullptr || started_; }
    /// One row (its `file` is left empty: the record becomes it).
    bool add(const ManifestRow &row, const MbFile &record);
    /// One row whose `file` is already its archive (an unchanged file's,
    /// from the last backup: encoding it again would give the same record).
    bool add_archived(const ManifestRow &row);
    uint64_t rows() const { return rows_; }

    /// Closes the spool and starts filling `manifest` (begun, empty).
    bool start(std::unique_ptr<ManifestDb> manifest);
    /// Waits for the rows to be in and committed; "" or what went wrong.
    std::string finish();

  private:
    void build();

    std::string spool_path_;
    FILE *spool_ = nullptr;
    uint64_t rows_ = 0;
    bool started_ = false;
    std::unique_ptr<ManifestDb> manifest_;
    std::thread thread_;
    std::string error_;              // written by the thread, read after the join
    std::atomic<bool> stop_{false};  // the request ended before the manifest was wanted
};

}  // namespace tarvosim

#endif
