/*
 * The terminal progress bar shared by the message loop and the file
 * transfers.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_PROGRESS_H
#define TARVO_TOOLS_TARVOBACKUP2_PROGRESS_H

/// "\r[" then 50 cells ("=" where percent * 0.5 > cell index, else a blank)
/// then "] %3.0f%%". Nothing while verbose is off. The caller ends the line.
void draw_progress_bar(double percent);

#endif
