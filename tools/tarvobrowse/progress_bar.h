/*
 * The extraction's progress bar on standard error, drawn only when
 * standard error is a terminal, and redrawn only when its whole percent
 * changes, so a run of many small files costs a hundred writes at most.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_PROGRESS_BAR_H
#define TARVO_TOOLS_TARVOBROWSE_PROGRESS_BAR_H

#include <cstdint>

namespace browse {

class ProgressBar {
  public:
    /// A bar over `total` steps; `shown` false draws nothing ever.
    ProgressBar(uint64_t total, bool shown);
    /// One more step done.
    void step();
    /// Clears the bar's line before a message is printed; the next step
    /// draws it again.
    void clear();
    /// Ends the bar's line.
    void finish();

  private:
    void draw();

    uint64_t total_;
    uint64_t done_ = 0;
    int drawn_percent_ = -1;
    bool shown_;
};

/// Whether bars are drawn: standard error is a terminal.
bool progress_wanted();

}  // namespace browse

#endif
