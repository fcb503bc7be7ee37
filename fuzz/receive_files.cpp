// Fuzz target: the file-transfer stream that follows DLMessageUploadFiles,
// as the backup tool's receive handler (tools/tarvobackup2/receive_files)
// reads it into a scratch backup folder. The device end of a socket pair has
// sent the device-link handshake and then the fuzzer's bytes; the handler
// runs on the library's backup-service client over the other end, as in the
// program. The folder is emptied after every input.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "backup_channel.h"
#include "fuzz_support.h"
#include "libtarvo/device_link.h"
#include "libtarvo/mobilebackup2_private.h"
#include "receive_files.h"
#include "signals_and_notifications.h"

namespace {

std::string g_backup_dir;
std::vector<uint8_t> g_handshake;

void append_frame(PlistPtr message, std::vector<uint8_t> *out) {
    std::vector<uint8_t> frame;
    tarvo_fuzz::fuzz_check(
        libtarvo::encode_device_link_frame(message.get(), &frame) == libtarvo::Status::kOk,
        "the handshake encodes");
    out->insert(out->end(), frame.begin(), frame.end());
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return ::remove(path);
}

void empty_backup_dir() {
    // Depth first, links not followed; the folder itself goes too and is made again.
    ::nftw(g_backup_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    ::mkdir(g_backup_dir.c_str(), 0700);
}

void remove_backup_dir() {
    ::nftw(g_backup_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The handler reports on standard output; the fuzzer's own lines go to
    // standard error.
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        ::dup2(null_fd, STDOUT_FILENO);
        ::close(null_fd);
    }
    char dir[] = "/tmp/tarvo-fuzz-receive-XXXXXX";
    tarvo_fuzz::fuzz_check(::mkdtemp(dir) != nullptr, "a scratch folder can be made");
    g_backup_dir = dir;
    std::atexit(remove_backup_dir);
    verbose = true;  // the progress bar is part of the path

    PlistPtr exchange = libtarvo::make_device_link_message("DLMessageVersionExchange");
    plist_array_append_item(exchange.get(), plist_new_uint(400));
    plist_array_append_item(exchange.get(), plist_new_uint(0));
    append_frame(std::move(exchange), &g_handshake);
    append_frame(libtarvo::make_device_link_message("DLMessageDeviceReady"), &g_handshake);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> stream = g_handshake;
    stream.insert(stream.end(), data, data + size);
    tarvo_fuzz::PreloadedSocket socket(stream);
    if (!socket.ok()) {
        return 0;
    }
    libtarvo::MobileBackup2Waits waits;
    waits.message_first_byte_ms = 1000;
    waits.completion_ms = 1000;
    waits.raw_first_byte_ms = 1000;
    waits.handshake_ms = 1000;
    waits.disconnect_ms = 1000;
    mobilebackup2_client_t client = nullptr;
    if (libtarvo::mobilebackup2_client_new_on(
            std::make_unique<libtarvo::Connection>(socket.take_near()), "com.apple.mobilebackup2",
            waits, &client) != MOBILEBACKUP2_E_SUCCESS) {
        return 0;
    }
    PlistPtr upload = libtarvo::make_device_link_message("DLMessageUploadFiles");
    plist_array_append_item(upload.get(), plist_new_dict());
    plist_array_append_item(upload.get(), plist_new_real(12.5));
    plist_array_append_item(upload.get(), plist_new_uint(1 << 20));
    {
        Mobilebackup2Channel channel(client);
        mb2_handle_receive_files(channel, upload.get(), g_backup_dir.c_str());
    }
    mobilebackup2_client_free(client);
    empty_backup_dir();
    return 0;
}
