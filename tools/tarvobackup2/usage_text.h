/*
 * tarvobackup2's usage text, printed for -h and after a word it does not
 * accept.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_USAGE_TEXT_H
#define TARVO_TOOLS_TARVOBACKUP2_USAGE_TEXT_H

/// The usage text on standard output, under argv[0]'s base name.
void print_usage(char **argv);

#endif
