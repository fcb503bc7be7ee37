// A reader thread, a bounded queue of prepared batches, and the placing loop.
#include "entry_pipeline.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace browse {
namespace {

constexpr size_t kBatchEntries = 256;
constexpr size_t kMaxQueuedBatches = 8;

using Batch = std::vector<PreparedEntry>;

class BatchQueue {
  public:
    /// Waits while the queue is full.
    void push(Batch batch) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return batches_.size() < kMaxQueuedBatches; });
        batches_.push_back(std::move(batch));
        ready_.notify_one();
    }
    void close(bool read_whole, std::string error) {
        std::lock_guard lock(mutex_);
        closed_ = true;
        read_whole_ = read_whole;
        error_ = std::move(error);
        ready_.notify_one();
    }
    /// The next batch; false once the queue is closed and empty.
    bool pop(Batch &batch) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !batches_.empty() || closed_; });
        if (batches_.empty()) {
            return false;
        }
        batch = std::move(batches_.front());
        batches_.pop_front();
        room_.notify_one();
        return true;
    }
    bool read_whole(std::string *error) {
        std::lock_guard lock(mutex_);
        if (!read_whole_) {
            *error = error_;
        }
        return read_whole_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<Batch> batches_;
    bool closed_ = false;
    bool read_whole_ = false;
    std::string error_;
};

void read_rows(ManifestDb &manifest, const RowFilter &filter, BatchQueue &queue) {
    Batch batch;
    std::string error;
    const bool read_whole = manifest.for_each(
        filter,
        [&](const ManifestRow &row) {
            batch.push_back(prepare_entry(row));
            if (batch.size() == kBatchEntries) {
                queue.push(std::move(batch));
                batch.clear();
            }
        },
        &error, RowOrder::kStored);
    if (!batch.empty()) {
        queue.push(std::move(batch));
    }
    queue.close(read_whole, std::move(error));
}

}  // namespace

bool place_prepared_entries(ManifestDb &manifest, const RowFilter &filter,
                            const std::function<void(PreparedEntry &)> &place, std::string *error) {
    BatchQueue queue;
    std::thread reader(read_rows, std::ref(manifest), std::cref(filter), std::ref(queue));
    Batch batch;
    while (queue.pop(batch)) {
        for (PreparedEntry &entry : batch) {
            place(entry);
        }
    }
    reader.join();
    return queue.read_whole(error);
}

}  // namespace browse
