// Fuzz target: AFC packets as the file-conduit client reads them. A client
// over a socket pair whose device has sent the fuzzer's bytes runs the
// requests the tools make (file info, a listing, open, read, lock, write,
// close, make and remove); every reply goes through the packet loop and
// decode_afc_packet(), then through the reading of its contents.
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "libtarvo/afc_private.h"

namespace {

void take_list(afc_error_t result, char **list) {
    if (result == AFC_E_SUCCESS) {
        tarvo_fuzz::fuzz_check(list != nullptr, "a listing that succeeded is there");
        afc_dictionary_free(list);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo_fuzz::PreloadedSocket socket({data, size});
    if (!socket.ok()) {
        return 0;
    }
    afc_client_t client = nullptr;
    if (libtarvo::afc_client_new_on(std::make_unique<libtarvo::Connection>(socket.take_near()),
                                    "com.apple.afc", 1000, &client) != AFC_E_SUCCESS) {
        return 0;
    }
    char **list = nullptr;
    take_list(afc_get_file_info(client, "/Books/a.epub", &list), list);
    list = nullptr;
    take_list(afc_read_directory(client, "/", &list), list);
    uint64_t handle = 0;
    afc_file_open(client, "/iTunes_Control/iTunes/x", AFC_FOPEN_RDONLY, &handle);
    // Two read requests: the library asks in pieces of 64 KiB.
    std::vector<char> buffer(100000);
    uint32_t got = 0;
    afc_file_read(client, handle, buffer.data(), static_cast<uint32_t>(buffer.size()), &got);
    tarvo_fuzz::fuzz_check(got <= buffer.size(), "a read stays within its buffer");
    afc_file_lock(client, handle, AFC_LOCK_EX);
    uint32_t written = 0;
    afc_file_write(client, handle, "data", 4, &written);
    afc_file_close(client, handle);
    afc_make_directory(client, "/Downloads/new");
    afc_remove_path(client, "/Downloads/new");
    afc_client_free(client);
    return 0;
}
