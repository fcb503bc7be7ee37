/*
 * The synthetic entries a device removed (a restore with
 * RemoveItemsNotRestored does so), kept in a SQLite file in the device's
 * state folder so that neither the record nor the walk that skips them
 * costs memory in proportion to their number. A removed folder hides all
 * it holds; the record keeps no entry that a recorded folder holds.
 */
#ifndef TARVO_SIM_REMOVED_ENTRIES_H
#define TARVO_SIM_REMOVED_ENTRIES_H

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>

namespace tarvosim {

class RemovedEntries {
  public:
    ~RemovedEntries();
    RemovedEntries(const RemovedEntries &) = delete;
    RemovedEntries &operator=(const RemovedEntries &) = delete;

    /// Opens the record at `path`, making it when `create`. Null with
    /// *error when that fails; null with *error empty when it does not
    /// exist and `create` is false.
    static std::unique_ptr<RemovedEntries> open(const std::string &path, bool create,
                                                std::string *error);

    /// Whether the entry, or a folder holding it, was removed.
    bool covers(std::string_view domain, std::string_view relative_path);
    /// Records the entry as removed. *added is false when it already was.
    /// False with *error when the record cannot be written.
    bool add(std::string_view domain, std::string_view relative_path, bool *added,
             std::string *error);

    /// Answers, for entries asked about in walk order, whether each is
    /// removed: one pass over the record, a key at a time.
    class InWalkOrder {
      public:
        ~InWalkOrder();
        InWalkOrder(const InWalkOrder &) = delete;
        InWalkOrder &operator=(const InWalkOrder &) = delete;
        bool covers(std::string_view walk_key);

      private:
        friend class RemovedEntries;
        explicit InWalkOrder(sqlite3_stmt *query);
        void step();

        sqlite3_stmt *query_;
        std::string covering_;  // the last key at or before the entry asked about
        bool has_covering_ = false;
        std::string next_;
        bool has_next_ = false;
    };
    /// Valid while this record lives; null when it cannot be read.
    std::unique_ptr<InWalkOrder> in_walk_order();

  private:
    explicit RemovedEntries(sqlite3 *db) : db_(db) {}
    /// The recorded key at or before `key` (which covers it if any does).
    bool nearest_at_or_before(const std::string &key, std::string *found);

    sqlite3 *db_ = nullptr;
};

}  // namespace tarvosim

#endif
