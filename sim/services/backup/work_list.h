/*
 * The backup engine's list of things to do on the host, kept in a SQLite
 * file in the device's work folder rather than in memory, so that a
 * backup of a million files costs the device disk, not memory: files to
 * upload and files to copy from the source backup, by fileID.
 */
#ifndef TARVO_SIM_WORK_LIST_H
#define TARVO_SIM_WORK_LIST_H

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvosim {

enum class WorkAction : int { kUpload = 0, kCopy = 1 };

struct WorkItem {
    std::string file_id;
    std::string domain;
    std::string relative_path;
    uint64_t size = 0;
    WorkAction action = WorkAction::kUpload;
    /// An encrypted backup's wrapped file key (the MBFile EncryptionKey).
    std::vector<uint8_t> encryption_key;
};

class WorkList {
  public:
    ~WorkList();
    WorkList(const WorkList &) = delete;
    WorkList &operator=(const WorkList &) = delete;

    static std::unique_ptr<WorkList> create(const std::string &path, std::string *error);

    /// Items are added between begin() and commit(), in one transaction;
    /// the reads below see them once commit() has put them in order. An
    /// item replaces one added before it with the same fileID.
    bool begin();
    bool commit();
    bool add(const WorkItem &item);
    /// Items of `action` ordered by fileID (so uploads go folder by folder).
    bool for_each(WorkAction action, const std::function<bool(const WorkItem &item)> &visit);
    /// The distinct first two hex digits of the items of `action`.
    bool for_each_prefix(WorkAction action, const std::function<bool(const std::string &)> &visit);
    uint64_t bytes(WorkAction action);
    uint64_t count(WorkAction action);

  private:
    explicit WorkList(sqlite3 *db) : db_(db) {}
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *add_ = nullptr;
};

}  // namespace tarvosim

#endif
