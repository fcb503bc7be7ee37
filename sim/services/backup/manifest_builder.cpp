/*
 * The spool of manifest rows and the thread that turns it into Manifest.db.
 */
#include "manifest_builder.h"

#include <unistd.h>

#include <utility>
#include <vector>

namespace tarvosim {
namespace {

// The spool is the device's own scratch file, written and read by this
// file alone: a tag (a record to encode, or the archive itself), numbers
// in the machine's order, texts and keys behind a 32-bit length, an absent
// optional as the length 0xFFFFFFFF.
constexpr uint32_t kAbsent = 0xFFFFFFFF;
constexpr uint64_t kRecordTag = 0;
constexpr uint64_t kArchiveTag = 1;
constexpr std::size_t kSpoolBuffer = 1 << 20;

bool put_number(FILE *out, uint64_t value) {
    return fwrite(&value, sizeof value, 1, out) == 1;
}

bool put_bytes(FILE *out, const void *data, std::size_t size) {
    const uint32_t length = static_cast<uint32_t>(size);
    return fwrite(&length, sizeof length, 1, out) == 1 &&
           (size == 0 || fwrite(data, 1, size, out) == size);
}

bool put_text(FILE *out, const std::string &text) {
    return put_bytes(out, text.data(), text.size());
}

bool put_absent(FILE *out) {
    return fwrite(&kAbsent, sizeof kAbsent, 1, out) == 1;
}

bool get_number(FILE *in, uint64_t *value) {
    return fread(value, sizeof *value, 1, in) == 1;
}

template <typename Int>
bool get_int(FILE *in, Int *value) {
    uint64_t raw = 0;
    if (!get_number(in, &raw)) {
        return false;
    }
    *value = static_cast<Int>(raw);
    return true;
}

/// *present false for an absent optional.
template <typename Bytes>
bool get_bytes(FILE *in, Bytes *out, bool *present = nullptr) {
    uint32_t length = 0;
    if (fread(&length, sizeof length, 1, in) != 1) {
        return false;
    }
    if (length == kAbsent) {
        if (!present) {
            return false;
        }
        *present = false;
        return true;
    }
    if (present) {
        *present = true;
    }
    out->resize(length);
    return length == 0 || fread(out->data(), 1, length, in) == length;
}

bool write_row_names(FILE *out, uint64_t tag, const ManifestRow &row) {
    return put_number(out, tag) && put_text(out, row.file_id) && put_text(out, row.domain) &&
           put_text(out, row.relative_path) && put_number(out, row.flags);
}

bool write_row(FILE *out, const ManifestRow &row, const MbFile &record) {
    bool ok = write_row_names(out, kRecordTag, row) && put_text(out, record.relative_path);
    for (uint64_t number :
         {record.size, record.mode, record.flags, record.user_id, record.group_id, record.inode,
          static_cast<uint64_t>(record.birth), static_cast<uint64_t>(record.last_modified),
          static_cast<uint64_t>(record.last_status_change), record.protection_class}) {
        ok = ok && put_number(out, number);
    }
    ok = ok && (record.encryption_key
                    ? put_bytes(out, record.encryption_key->data(), record.encryption_key->size())
                    : put_absent(out));
    return ok && (record.target ? put_text(out, *record.target) : put_absent(out));
}

/// A spooled row, its archive made from its record when it came as one.
bool read_row(FILE *in, ManifestRow *row) {
    uint64_t tag = 0;
    if (!get_number(in, &tag) || !get_bytes(in, &row->file_id) || !get_bytes(in, &row->domain) ||
        !get_bytes(in, &row->relative_path) || !get_int(in, &row->flags)) {
        return false;
    }
    if (tag == kArchiveTag) {
        return get_bytes(in, &row->file);
    }
    MbFile record;
    bool has_key = false;
    bool has_target = false;
    std::vector<uint8_t> key;
    std::string target;
    const bool ok =
        tag == kRecordTag && get_bytes(in, &record.relative_path) && get_int(in, &record.size) &&
        get_int(in, &record.mode) && get_int(in, &record.flags) && get_int(in, &record.user_id) &&
        get_int(in, &record.group_id) && get_int(in, &record.inode) && get_int(in, &record.birth) &&
        get_int(in, &record.last_modified) && get_int(in, &record.last_status_change) &&
        get_int(in, &record.protection_class) && get_bytes(in, &key, &has_key) &&
        get_bytes(in, &target, &has_target);
    if (!ok) {
        return false;
    }
    record.encryption_key = has_key ? std::optional(std::move(key)) : std::nullopt;
    record.target = has_target ? std::optional(std::move(target)) : std::nullopt;
    row->file = encode_mb_file(record);
    return true;
}

}  // namespace

ManifestBuilder::ManifestBuilder(std::string spool_path) : spool_path_(std::move(spool_path)) {
    spool_ = fopen(spool_path_.c_str(), "w+be");
    if (spool_) {
        setvbuf(spool_, nullptr, _IOFBF, kSpoolBuffer);
    }
}

ManifestBuilder::~ManifestBuilder() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (spool_) {
        fclose(spool_);
    }
    ::unlink(spool_path_.c_str());
}

bool ManifestBuilder::add(const ManifestRow &row, const MbFile &record) {
    if (!spool_ || started_ || !write_row(spool_, row, record)) {
        return false;
    }
    ++rows_;
    return true;
}

bool ManifestBuilder::add_archived(const ManifestRow &row) {
    if (!spool_ || started_ || !write_row_names(spool_, kArchiveTag, row) ||
        !put_bytes(spool_, row.file.data(), row.file.size())) {
        return false;
    }
    ++rows_;
    return true;
}

bool ManifestBuilder::start(std::unique_ptr<ManifestDb> manifest) {
    if (!spool_ || started_ || !manifest || fflush(spool_) != 0 ||
        fseek(spool_, 0, SEEK_SET) != 0) {
        return false;
    }
    started_ = true;
    manifest_ = std::move(manifest);
    thread_ = std::thread([this] { build(); });
    return true;
}

void ManifestBuilder::build() {
    ManifestRow row;
    for (uint64_t i = 0; i < rows_; ++i) {
        if (stop_) {
            error_ = "the request ended";
            return;
        }
        if (!read_row(spool_, &row)) {
            error_ = "the device cannot read back its manifest spool";
            return;
        }
        if (!manifest_->insert(row)) {
            error_ = "the device cannot write its manifest: " + manifest_->last_error();
            return;
        }
    }
    if (!manifest_->commit()) {
        error_ = "the device cannot write its manifest: " + manifest_->last_error();
    }
    manifest_.reset();  // closed here, so the file is whole once finish() returns
}

std::string ManifestBuilder::finish() {
    if (!started_) {
        return "the device never started its manifest";
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    return error_;
}

}  // namespace tarvosim
