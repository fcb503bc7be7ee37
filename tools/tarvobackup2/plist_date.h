/*
 * Dates in property lists count seconds from 2001-01-01 00:00:00 UTC.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_PLIST_DATE_H
#define TARVO_TOOLS_TARVOBACKUP2_PLIST_DATE_H

/// Seconds from the Unix epoch to 2001-01-01 00:00:00 UTC.
inline constexpr long kPlistDateEpochOffset = 978307200;

#endif
