// Reading a device file whole.
#include "device_files.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "owners.h"

namespace {

constexpr uint32_t kReadPiece = 65536;

// The "st_size" of the file's name/value pairs; 0 when absent or not a
// plain decimal number.
uint64_t size_from_file_info(char **info) {
    for (size_t i = 0; info && info[i] && info[i + 1]; i += 2) {
        if (strcmp(info[i], "st_size") != 0) {
            continue;
        }
        const char *text = info[i + 1];
        char *end = nullptr;
        errno = 0;
        const unsigned long long value = strtoull(text, &end, 10);
        return (errno == 0 && end != text && *end == '\0' && text[0] != '-') ? value : 0;
    }
    return 0;
}

}  // namespace

void mobilebackup_afc_get_file_contents(afc_client_t afc, const char *path, char **data,
                                        uint64_t *size) {
    if (!afc || !data || !size) {
        return;
    }
    char **info = nullptr;
    afc_get_file_info(afc, path, &info);
    const uint64_t file_size = size_from_file_info(info);
    afc_dictionary_free(info);
    if (file_size == 0 || file_size > kMaxDeviceFileSize) {
        return;
    }
    uint64_t handle = 0;
    if (afc_file_open(afc, path, AFC_FOPEN_RDONLY, &handle) != AFC_E_SUCCESS) {
        return;
    }
    CString block(static_cast<char *>(malloc(file_size)));
    uint64_t done = 0;
    while (block && done < file_size) {
        const uint32_t piece =
            static_cast<uint32_t>(std::min<uint64_t>(file_size - done, kReadPiece));
        uint32_t got = 0;
        afc_file_read(afc, handle, block.get() + done, piece, &got);
        if (got == 0) {
            break;
        }
        done += std::min<uint32_t>(got, piece);
    }
    afc_file_close(afc, handle);
    if (block && done == file_size) {
        *data = block.release();
        *size = file_size;
    }
}
