// String, path and file helpers shared by the tools: heap strings built from
// pieces, sizes for people, identifiers, whole-file reads and writes, and
// property-list files in XML or binary form.
#include "utils.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <span>

#include "owners.h"
#include "plist_untrusted.h"

namespace {

// One stdio call moves at most this much, so that lengths never pass through
// narrower types inside the C library.
constexpr size_t kIoChunk = size_t{1} << 30;

// A pipe or device has no size to allocate for up front; its content is read
// until end of file, and one that reaches this size counts as unreadable, so
// an endless source cannot exhaust memory.
constexpr uint64_t kMaxStreamedBytes = uint64_t{1} << 30;
constexpr size_t kFirstStreamBlock = 64 * 1024;

// Adds the lengths of the strings up to the terminating null pointer, each
// plus per_piece bytes, onto total. False when the sum does not fit.
bool add_piece_lengths(va_list pieces, size_t per_piece, size_t &total) {
    while (const char *piece = va_arg(pieces, const char *)) {
        size_t length = std::strlen(piece);
        if (length > SIZE_MAX - per_piece || length + per_piece > SIZE_MAX - total) {
            return false;
        }
        total += length + per_piece;
    }
    return true;
}

// Copies the strings up to the null pointer behind dest, each preceded by
// separator when it is not null; returns the end.
char *copy_pieces(char *dest, va_list pieces, const char *separator) {
    while (const char *piece = va_arg(pieces, const char *)) {
        if (separator) {
            *dest++ = *separator;
        }
        size_t length = std::strlen(piece);
        std::memcpy(dest, piece, length);
        dest += length;
    }
    return dest;
}

// first followed by the pieces (each after a '/' when with_slashes), or null
// when first is null, the length overflows or memory runs out.
char *join_pieces(const char *first, va_list pieces, bool with_slashes) {
    if (!first) {
        return nullptr;
    }
    va_list counting;
    va_copy(counting, pieces);
    size_t total = std::strlen(first);
    bool fits = add_piece_lengths(counting, with_slashes ? 1 : 0, total) && total < SIZE_MAX;
    va_end(counting);
    if (!fits) {
        return nullptr;
    }
    auto *result = static_cast<char *>(std::malloc(total + 1));
    if (!result) {
        return nullptr;
    }
    size_t first_length = std::strlen(first);
    std::memcpy(result, first, first_length);
    static const char kSlash = '/';
    char *end = copy_pieces(result + first_length, pieces, with_slashes ? &kSlash : nullptr);
    *end = '\0';
    return result;
}

// Reads exactly length bytes, in chunks; false on a short read.
bool read_fully(FILE *file, char *dest, uint64_t length) {
    while (length > 0) {
        size_t want = length < kIoChunk ? static_cast<size_t>(length) : kIoChunk;
        size_t got = std::fread(dest, 1, want, file);
        dest += got;
        length -= got;
        if (got < want) {
            return false;
        }
    }
    return true;
}

// Writes all length bytes, in chunks; false on a short write.
// This mirrors read_fully; kept apart so each reads straight through.
bool write_fully(FILE *file, const char *data, uint64_t length) {
    while (length > 0) {
        size_t want = length < kIoChunk ? static_cast<size_t>(length) : kIoChunk;
        size_t put = std::fwrite(data, 1, want, file);
        data += put;
        length -= put;
        if (put < want) {
            return false;
        }
    }
    return true;
}

// The size of a file that can be sized by seeking to its end, or -1.
int64_t size_by_seeking(FILE *file) {
    if (fseeko(file, 0, SEEK_END) != 0) {
        return -1;
    }
    off_t size = ftello(file);
    if (size < 0 || fseeko(file, 0, SEEK_SET) != 0) {
        return -1;
    }
    return size;
}

void read_sized(FILE *file, uint64_t size, char **buffer, uint64_t *length) {
    if (size == 0) {
        return;
    }
    if (size >= SIZE_MAX) {
        return;
    }
    auto *block = static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1));
    if (!block) {
        return;
    }
    *buffer = block;
    if (read_fully(file, block, size)) {
        *length = size;
    }
}

// Reads until end of file into a block that doubles as it fills. Like a short
// read of a sized file, a read error hands over what came with length 0.
void read_streamed(FILE *file, char **buffer, uint64_t *length) {
    size_t capacity = kFirstStreamBlock;
    auto *block = static_cast<char *>(std::malloc(capacity + 1));
    if (!block) {
        return;
    }
    size_t used = 0;
    while (true) {
        if (used == capacity) {
            if (capacity >= kMaxStreamedBytes) {
                std::free(block);
                return;
            }
            size_t grown = capacity * 2;
            auto *larger = static_cast<char *>(std::realloc(block, grown + 1));
            if (!larger) {
                std::free(block);
                return;
            }
            block = larger;
            capacity = grown;
        }
        size_t got = std::fread(block + used, 1, capacity - used, file);
        used += got;
        if (got == 0 || std::feof(file) || std::ferror(file)) {
            break;
        }
    }
    if (used == 0 && !std::ferror(file)) {
        std::free(block);
        return;
    }
    *buffer = block;
    if (!std::ferror(file)) {
        *length = used;
    }
}

}  // namespace

extern "C" {

char *string_concat(const char *first, ...) {
    va_list pieces;
    va_start(pieces, first);
    char *result = join_pieces(first, pieces, false);
    va_end(pieces);
    return result;
}

char *string_build_path(const char *first, ...) {
    va_list pieces;
    va_start(pieces, first);
    char *result = join_pieces(first, pieces, true);
    va_end(pieces);
    return result;
}

char *string_append(char *existing, ...) {
    va_list pieces;
    va_start(pieces, existing);
    va_list counting;
    va_copy(counting, pieces);
    size_t existing_length = existing ? std::strlen(existing) : 0;
    size_t total = existing_length;
    bool fits = add_piece_lengths(counting, 0, total) && total < SIZE_MAX;
    va_end(counting);
    char *result = fits ? static_cast<char *>(std::realloc(existing, total + 1)) : nullptr;
    if (result) {
        char *end = copy_pieces(result + existing_length, pieces, nullptr);
        *end = '\0';
    }
    va_end(pieces);
    return result;
}

size_t format_size_into(uint64_t size, char *out, size_t capacity) {
    auto exact = static_cast<double>(size);
    int n = 0;
    if (size < 1000ULL) {
        n = std::snprintf(out, capacity, "%d Bytes", static_cast<int>(size));
    } else if (size < 1000000ULL) {
        n = std::snprintf(out, capacity, "%0.1f KB", exact / 1000.0);
    } else if (size < 1000000000ULL) {
        n = std::snprintf(out, capacity, "%0.1f MB", exact / 1000000.0);
    } else if (size < 1000000000000ULL) {
        n = std::snprintf(out, capacity, "%0.1f GB", exact / 1000000000.0);
    } else {
        n = std::snprintf(out, capacity, "%0.1f TB", exact / 1000000000000.0);
    }
    if (n < 0 || capacity == 0) {
        return 0;
    }
    return std::min(static_cast<size_t>(n), capacity - 1);
}

char *string_format_size(uint64_t size) {
    char text[80];
    format_size_into(size, text, sizeof text);
    return strdup(text);
}

char *string_toupper(const char *text) {
    char *result = strdup(text);
    if (result) {
        for (char *c = result; *c; ++c) {
            *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
        }
    }
    return result;
}

// Reseeds the process-wide generator on every call, so identifiers made within
// the same second are equal; callers that need distinct ones space them out.
char *generate_uuid(void) {
    static const char kDigits[] = "ABCDEF0123456789";
    auto *uuid = static_cast<char *>(std::malloc(37));
    if (!uuid) {
        return nullptr;
    }
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    for (int i = 0; i < 36; ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            uuid[i] = '-';
        } else {
            uuid[i] = kDigits[std::rand() % 16];
        }
    }
    uuid[36] = '\0';
    return uuid;
}

// Regular files are sized by seeking and read in one pass. Pipes and devices
// cannot be sized that way; they are read until end of file, and one that
// reaches kMaxStreamedBytes counts as unreadable. Directories are unreadable.
void buffer_read_from_filename(const char *filename, char **buffer, uint64_t *length) {
    *length = 0;
    FilePtr file(std::fopen(filename, "rb"));
    if (!file) {
        return;
    }
    struct stat info {};
    if (fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode)) {
        return;
    }
    int64_t size = S_ISREG(info.st_mode) ? size_by_seeking(file.get()) : -1;
    if (size >= 0) {
        read_sized(file.get(), static_cast<uint64_t>(size), buffer, length);
    } else {
        read_streamed(file.get(), buffer, length);
    }
}

void buffer_write_to_filename(const char *filename, const char *data, uint64_t length) {
    FilePtr file(std::fopen(filename, "wb"));
    if (file) {
        write_fully(file.get(), data, length);
    }
}

int plist_read_from_filename(plist_t *plist, const char *filename) {
    if (!filename || !plist) {
        return 0;
    }
    // The parsers take 32-bit lengths, so a longer file cannot be a property
    // list they read. It is refused before it is read: a device can write
    // files of any size into its backup, and this one would be read whole.
    struct stat info {};
    if (stat(filename, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<uint64_t>(info.st_size) > UINT32_MAX) {
        *plist = nullptr;
        return 1;
    }
    char *buffer = nullptr;
    uint64_t length = 0;
    buffer_read_from_filename(filename, &buffer, &length);
    if (!buffer) {
        return 0;
    }
    std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
    // Also for a file that grew since it was looked at, and for streams.
    if (length > UINT32_MAX) {
        *plist = nullptr;
        return 1;
    }
    // The files read here include those a device wrote into a backup, so
    // they get the checks of device messages; a refused file reads as
    // unparsable.
    *plist = nullptr;
    auto length32 = static_cast<uint32_t>(length);
    if (!tarvo::plist_body_is_safe(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(buffer), length32))) {
        return 1;
    }
    if (length > 8 && std::memcmp(buffer, "bplist00", 8) == 0) {
        plist_from_bin(buffer, length32, plist);
    } else {
        plist_from_xml(buffer, length32, plist);
    }
    return 1;
}

int plist_write_to_filename(plist_t plist, const char *filename, int format) {
    if (!plist || !filename) {
        return 0;
    }
    char *encoded = nullptr;
    uint32_t length = 0;
    if (format == 0) {
        plist_to_xml(plist, &encoded, &length);
    } else if (format == 1) {
        plist_to_bin(plist, &encoded, &length);
    } else {
        return 0;
    }
    if (!encoded) {
        return 0;
    }
    std::unique_ptr<char, decltype(&std::free)> owned(encoded, &std::free);
    FilePtr file(std::fopen(filename, "wb"));
    if (!file) {
        return 0;
    }
    bool written = write_fully(file.get(), encoded, length);
    // Buffered bytes reach the disk only on close, so its failure is a failed write too.
    bool closed = std::fclose(file.release()) == 0;
    return written && closed ? 1 : 0;
}

}  // extern "C"
