// Text forms of modes, times and kinds.
#include "entry_format.h"

#include <time.h>

#include "mb_record.h"

namespace browse {

std::string mode_text(uint64_t flags, uint64_t mode) {
    std::string text = flags == uint64_t(EntryKind::kDirectory) ? "d"
                       : flags == uint64_t(EntryKind::kSymlink) ? "l"
                                                                : "-";
    static const char kLetters[] = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        text += (mode & (0400u >> bit)) ? kLetters[bit] : '-';
    }
    return text;
}

std::string time_text(int64_t unix_seconds) {
    const time_t seconds = static_cast<time_t>(unix_seconds);
    struct tm parts;
    char text[32];
    if (!gmtime_r(&seconds, &parts) ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
        return "-";
    }
    return text;
}

const char *kind_name(uint64_t flags) {
    switch (flags) {
        case uint64_t(EntryKind::kFile):
            return "file";
        case uint64_t(EntryKind::kDirectory):
            return "directory";
        case uint64_t(EntryKind::kSymlink):
            return "link";
        default:
            return "unknown";
    }
}

std::string counted(uint64_t count, const char *one, const char *many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace browse
