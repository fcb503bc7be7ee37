/*
 * Pieces every tool's usage and version output shares: the program's base
 * name, the version line and the closing address lines.
 */
#ifndef TARVO_TOOLS_TOOL_USAGE_H
#define TARVO_TOOLS_TOOL_USAGE_H

#include <stdio.h>

/* The part of argv[0] after the last "/", or all of it. */
const char *tool_base_name(const char *argv0);

/* "<name> <version>\n" on standard output. */
void tool_print_version(const char *name);

/* The "Homepage:" and "Bug Reports:" lines that end every usage text. */
void tool_print_addresses(FILE *stream);

#endif
