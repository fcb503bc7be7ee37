// The progress bar.
#include "progress.h"

#include <stdio.h>

#include "signals_and_notifications.h"

namespace {

constexpr int kBarCells = 50;

}  // namespace

void draw_progress_bar(double percent) {
    if (!verbose) {
        return;
    }
    char bar[kBarCells + 1];
    for (int i = 0; i < kBarCells; ++i) {
        bar[i] = percent * 0.5 > i ? '=' : ' ';
    }
    bar[kBarCells] = '\0';
    printf("\r[%s] %3.0f%%", bar, percent);
    // The bar is redrawn in place: it must reach the terminal now, not when
    // a newline eventually comes.
    fflush(stdout);
}
