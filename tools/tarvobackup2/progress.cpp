// The progress bar.
#include "progress.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "signals_and_notifications.h"
#include "utils.h"

namespace {

constexpr int kBarCells = 50;

}  // namespace

ProgressLine::ProgressLine(double percent) {
    text_[0] = '\r';
    text_[1] = '[';
    for (int i = 0; i < kBarCells; ++i) {
        text_[2 + i] = percent * 0.5 > i ? '=' : ' ';
    }
    length_ = 2 + kBarCells;
    const int n = snprintf(text_ + length_, sizeof text_ - length_, "] %3.0f%%", percent);
    length_ = std::min(length_ + static_cast<std::size_t>(std::max(n, 0)), sizeof text_ - 1);
}

ProgressLine &ProgressLine::append(const char *text, std::size_t length) {
    const std::size_t room = sizeof text_ - 1 - length_;
    const std::size_t taken = std::min(length, room);
    memcpy(text_ + length_, text, taken);
    length_ += taken;
    return *this;
}

ProgressLine &ProgressLine::append(const char *text) {
    return append(text, strlen(text));
}

ProgressLine &ProgressLine::append_size(uint64_t size) {
    length_ += format_size_into(size, text_ + length_, sizeof text_ - length_);
    return *this;
}

void ProgressLine::flush() {
    fwrite(text_, 1, length_, stdout);
    // The bar is redrawn in place: it must reach the terminal now, not when
    // a newline eventually comes.
    fflush(stdout);
}

void draw_progress_bar(double percent) {
    if (!verbose) {
        return;
    }
    ProgressLine(percent).flush();
}
