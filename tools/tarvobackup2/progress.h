/*
 * The terminal progress bar shared by the message loop and the file
 * transfers. A bar and what follows it reach standard output in one write,
 * so that a redraw costs one system call however often it comes.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_PROGRESS_H
#define TARVO_TOOLS_TARVOBACKUP2_PROGRESS_H

#include <cstddef>
#include <cstdint>

/// "\r[" then 50 cells ("=" where percent * 0.5 > cell index, else a blank)
/// then "] %3.0f%%". Nothing while verbose is off. The caller ends the line.
void draw_progress_bar(double percent);

/// A bar and its tail, built in place and written with one flush.
class ProgressLine {
  public:
    /// Starts the line with draw_progress_bar's text for `percent`.
    explicit ProgressLine(double percent);
    ProgressLine &append(const char *text);
    ProgressLine &append(const char *text, std::size_t length);
    /// string_format_size's text of `size`.
    ProgressLine &append_size(uint64_t size);
    /// Writes the line (after whatever standard output holds) and flushes.
    void flush();

  private:
    // Room for the widest "%3.0f" of a double a device may send.
    char text_[512];
    std::size_t length_ = 0;
};

#endif
