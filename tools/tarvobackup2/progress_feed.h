/*
 * Progress for programs: with --progress-fd N, one JSON object per line on
 * descriptor N for each change of the overall percent, each file received
 * or sent, and the end of the run. The terminal output stays as it is.
 *
 *   {"event":"progress","percent":42.5}
 *   {"event":"file","direction":"received","path":"<UDID>/3d/3d0d...","bytes":1234}
 *   {"event":"end","status":0}
 *
 * Paths are relative to the backup directory, as the device names them;
 * text that is not UTF-8 is replaced. A reader that stops taking lines for
 * a while, or closes its end, ends the feed with one warning on standard
 * error; the backup goes on.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_PROGRESS_FEED_H
#define TARVO_TOOLS_TARVOBACKUP2_PROGRESS_FEED_H

#include <stdint.h>

enum class TransferDirection { kReceived, kSent };

/// Starts the feed on `fd`; false (and no feed) when `fd` is not open for
/// writing.
bool progress_feed_start(int fd);

/// True while lines are written.
bool progress_feed_on();

/// A line when `percent` differs from the last one written.
void progress_feed_percent(double percent);

void progress_feed_file(TransferDirection direction, const char *path, uint64_t bytes);

/// The last line, with the tool's exit status; the feed ends.
void progress_feed_end(int status);

#endif
