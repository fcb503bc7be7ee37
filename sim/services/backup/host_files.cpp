/*
 * The device's requests on the host's backup folder.
 */
#include "host_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "backup_faults.h"
#include "plist_items.h"
#include "unique_fd.h"
#include "write_all.h"

namespace tarvosim {
namespace {

plist_t string_array(const std::vector<std::string> &items) {
    plist_t array = plist_new_array();
    for (const std::string &item : items) {
        plist_array_append_item(array, plist_new_string(item.c_str()));
    }
    return array;
}

}  // namespace

HostFiles::HostFiles(DlChannel &channel)
    : channel_(channel), faults_(armed_faults(channel)), writer_(channel, faults_) {}

bool HostFiles::send(plist_t message) {
    if (!faults_) {
        return channel_.send(message);
    }
    if (!faults_->at_message_boundary() || !channel_.send(message)) {
        return false;
    }
    faults_->message_sent();
    return faults_->at_message_boundary();
}

bool HostFiles::at_file_boundary() {
    return !faults_ || faults_->at_file_boundary();
}

StreamStatus HostFiles::expect_success(const std::string &what) {
    StatusAnswer answer;
    if (StreamStatus got = await_status_answer(channel_, &answer); !got.is_ok()) {
        return got;
    }
    if (answer.code != 0) {
        return StreamStatus::failed("the host could not " + what + " (status " +
                                    std::to_string(answer.code) +
                                    (answer.text.empty() ? "" : ": " + answer.text) + ")");
    }
    return StreamStatus::ok();
}

StreamStatus HostFiles::download_all(std::vector<WantedFile> &files, double progress) {
    PlistPtr message = dl_message(dl::kDownloadFiles);
    std::vector<std::string> paths;
    paths.reserve(files.size());
    for (const WantedFile &file : files) {
        paths.push_back(file.path);
    }
    plist_array_append_item(message.get(), string_array(paths));
    plist_array_append_item(message.get(), plist_new_dict());
    plist_array_append_item(message.get(), plist_new_real(progress));
    if (!send(message.get())) {
        return StreamStatus::gone();
    }
    std::size_t next = 0;  // files before it were sent or left out
    bool any_missing = files.empty();
    for (WantedFile &file : files) {
        file.missing = true;
    }
    for (;;) {
        std::optional<std::string> name;
        if (StreamStatus got = read_download_name(channel_, &name); !got.is_ok()) {
            return got;
        }
        if (!name) {
            break;
        }
        std::size_t at = next;
        while (at < files.size() && files[at].path != *name) {
            ++at;
        }
        if (at == files.size()) {
            return StreamStatus::failed("the host sent \"" + *name + "\", which was not asked for");
        }
        next = at + 1;
        WantedFile &wanted = files[at];
        IncomingFile file;
        // A slow device reads as slowly as it writes.
        const ContentSink paced = [this, &wanted](std::span<const uint8_t> bytes) {
            faults_->received(bytes.size());
            return wanted.sink(bytes);
        };
        if (StreamStatus got = read_download_file(channel_, *name, wanted.cap,
                                                  faults_ ? paced : wanted.sink, &file);
            !got.is_ok()) {
            return got;
        }
        wanted.missing = file.missing;
    }
    for (const WantedFile &file : files) {
        any_missing = any_missing || file.missing;
    }
    // "Multi status" (-13) goes with a missing file; the list says which.
    StatusAnswer answer;
    if (StreamStatus got = await_status_answer(channel_, &answer); !got.is_ok()) {
        return got;
    }
    if (answer.code != 0 && !any_missing) {
        return StreamStatus::failed("the host could not send \"" + files.front().path +
                                    "\" (status " + std::to_string(answer.code) + ")");
    }
    return StreamStatus::ok();
}

StreamStatus HostFiles::download(const std::string &path, uint64_t cap, const ContentSink &sink,
                                 bool *missing, double progress) {
    std::vector<WantedFile> files{{path, cap, sink}};
    StreamStatus got = download_all(files, progress);
    *missing = files.front().missing;
    return got;
}

StreamStatus HostFiles::download_bytes(const std::string &path, uint64_t cap,
                                       std::vector<uint8_t> *out, bool *missing) {
    out->clear();
    return download(
        path, cap,
        [out](std::span<const uint8_t> bytes) {
            out->insert(out->end(), bytes.begin(), bytes.end());
            return StreamStatus::ok();
        },
        missing);
}

StreamStatus HostFiles::download_file(const std::string &path, uint64_t cap,
                                      const std::string &local, bool *missing, double progress) {
    UniqueFd fd(create_download_file(local));
    if (!fd) {
        return StreamStatus::failed("the device cannot write " + local);
    }
    return download(path, cap, file_sink(fd.get(), local), missing, progress);
}

StreamStatus HostFiles::upload(const std::vector<OutgoingFile> &files, double progress) {
    PlistPtr message = dl_message(dl::kUploadFiles);
    plist_t paths = plist_new_array();
    uint64_t total = 0;
    for (const OutgoingFile &file : files) {
        plist_array_append_item(paths, plist_new_string(file.device_path.c_str()));
        total += file.size;
    }
    plist_array_append_item(message.get(), paths);
    plist_array_append_item(message.get(), plist_new_real(progress));
    plist_array_append_item(message.get(), plist_new_uint(total));
    if (!send(message.get())) {
        return StreamStatus::gone();
    }
    for (const OutgoingFile &file : files) {
        if (!at_file_boundary() || !writer_.write_file(file)) {
            return StreamStatus::gone();
        }
        if (faults_) {
            // The knobs count whole files: each is out before the next boundary.
            if (!writer_.flush()) {
                return StreamStatus::gone();
            }
            faults_->file_sent();
        }
    }
    if (!at_file_boundary() || !writer_.write_end()) {
        return StreamStatus::gone();
    }
    return expect_success("store the uploaded files");
}

StreamStatus HostFiles::create_directory(const std::string &path) {
    PlistPtr message = dl_message(dl::kCreateDirectory);
    plist_array_append_item(message.get(), plist_new_string(path.c_str()));
    return send(message.get()) ? expect_success("make \"" + path + "\"") : StreamStatus::gone();
}

StreamStatus HostFiles::move(const std::vector<std::pair<std::string, std::string>> &moves,
                             double progress) {
    PlistPtr message = dl_message(dl::kMoveItems);
    plist_t pairs = plist_new_dict();
    for (const auto &[from, to] : moves) {
        plist_dict_set_item(pairs, from.c_str(), plist_new_string(to.c_str()));
    }
    plist_array_append_item(message.get(), pairs);
    plist_array_append_item(message.get(), plist_new_dict());
    plist_array_append_item(message.get(), plist_new_real(progress));
    return send(message.get()) ? expect_success("move files") : StreamStatus::gone();
}

StreamStatus HostFiles::remove(const std::vector<std::string> &paths, double progress) {
    PlistPtr message = dl_message(dl::kRemoveItems);
    plist_array_append_item(message.get(), string_array(paths));
    plist_array_append_item(message.get(), plist_new_dict());
    plist_array_append_item(message.get(), plist_new_real(progress));
    return send(message.get()) ? expect_success("remove files") : StreamStatus::gone();
}

StreamStatus HostFiles::copy(const std::string &from, const std::string &to) {
    PlistPtr message = dl_message(dl::kCopyItem);
    plist_array_append_item(message.get(), plist_new_string(from.c_str()));
    plist_array_append_item(message.get(), plist_new_string(to.c_str()));
    plist_array_append_item(message.get(), plist_new_dict());
    return send(message.get()) ? expect_success("copy \"" + from + "\"") : StreamStatus::gone();
}

StreamStatus HostFiles::free_space(uint64_t *bytes) {
    PlistPtr message = dl_message(dl::kGetFreeDiskSpace);
    plist_array_append_item(message.get(), plist_new_dict());
    if (!send(message.get())) {
        return StreamStatus::gone();
    }
    StatusAnswer answer;
    if (StreamStatus got = await_status_answer(channel_, &answer); !got.is_ok()) {
        return got;
    }
    const std::optional<uint64_t> room = tarvo::uint_value(answer.value.get());
    if (answer.code != 0 || !room) {
        return StreamStatus::failed("the host did not say how much room it has");
    }
    *bytes = *room;
    return StreamStatus::ok();
}

int create_download_file(const std::string &path) {
    ::unlink(path.c_str());
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
}

ContentSink file_sink(int fd, const std::string &local) {
    return [fd, local](std::span<const uint8_t> bytes) {
        return write_all(fd, bytes) ? StreamStatus::ok()
                                    : StreamStatus::failed("the device cannot write " + local);
    };
}

OutgoingFile outgoing_bytes(const std::string &local_path, std::vector<uint8_t> bytes) {
    auto held = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
    auto offset = std::make_shared<std::size_t>(0);
    OutgoingFile file;
    file.device_path = local_path;
    file.local_path = local_path;
    file.size = held->size();
    file.read = [held, offset](std::span<uint8_t> out) {
        std::copy_n(held->begin() + static_cast<std::ptrdiff_t>(*offset), out.size(), out.begin());
        *offset += out.size();
        return true;
    };
    return file;
}

}  // namespace tarvosim
