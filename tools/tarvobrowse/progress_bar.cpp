// Drawing the progress bar on standard error.
#include "progress_bar.h"

#include <stdio.h>
#include <unistd.h>

namespace browse {
namespace {

constexpr int kCells = 50;

}  // namespace

bool progress_wanted() {
    return isatty(STDERR_FILENO);
}

ProgressBar::ProgressBar(uint64_t total, bool shown) : total_(total), shown_(shown) {}

void ProgressBar::step() {
    ++done_;
    const int percent = total_ ? static_cast<int>(done_ * 100 / total_) : 100;
    if (shown_ && percent != drawn_percent_) {
        drawn_percent_ = percent;
        draw();
    }
}

void ProgressBar::draw() {
    char line[kCells + 32];
    int at = snprintf(line, sizeof line, "\r[");
    for (int cell = 0; cell < kCells; ++cell) {
        line[at++] = cell * 2 < drawn_percent_ ? '=' : ' ';
    }
    snprintf(line + at, sizeof line - at, "] %3d%%", drawn_percent_ > 100 ? 100 : drawn_percent_);
    fputs(line, stderr);
    fflush(stderr);
}

void ProgressBar::clear() {
    if (shown_ && drawn_percent_ >= 0) {
        fprintf(stderr, "\r%*s\r", kCells + 8, "");
        drawn_percent_ = -1;
    }
}

void ProgressBar::finish() {
    if (shown_ && drawn_percent_ >= 0) {
        fputs("\n", stderr);
        drawn_percent_ = -1;
    }
}

}  // namespace browse
