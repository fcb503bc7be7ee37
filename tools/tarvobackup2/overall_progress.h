/*
 * The percent of the whole operation as the device last reported it: the
 * file transfers and the host file-system requests take it from their
 * messages, the message loop draws it.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_OVERALL_PROGRESS_H
#define TARVO_TOOLS_TARVOBACKUP2_OVERALL_PROGRESS_H

#include <plist/plist.h>

/// Percent of the whole operation, as the device last reported it.
extern double overall_progress;

/// Takes the overall percent from the element where message `name` carries
/// it (3 for downloads, moves and removals, 2 for uploads); only a value
/// above 0 replaces overall_progress.
void mb2_set_overall_progress_from_message(plist_t message, const char *name);

#endif
