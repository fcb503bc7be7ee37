/*
 * Password entry at the terminal: one line read without echo, a "*" shown
 * for each character, DEL taking the last one back.
 */
#ifndef TARVO_TOOLS_TARVOBACKUP2_PASSWORD_ENTRY_H
#define TARVO_TOOLS_TARVOBACKUP2_PASSWORD_ENTRY_H

#include <stddef.h>

/// The buffer every caller hands to get_hidden_input: a line of at most
/// 255 characters and its terminating NUL.
inline constexpr size_t kHiddenInputSize = 256;

/// Reads one line from standard input into `buffer` (kHiddenInputSize
/// bytes), always NUL-terminated. NUL, newline or carriage return ends the
/// entry, and so does the end of input (with what was typed so far).
/// Printable characters are kept while there is room and each shows a "*"
/// on standard error; DEL takes the last one back ("\b \b"); all else is
/// ignored. Echo and line input are off only while a character is awaited.
/// The process is made private first (tarvo::keep_process_memory_private).
void get_hidden_input(char *buffer);

/// Prompts "<prompt>: " on standard error and reads a line; with `repeat`
/// non-zero asks again with "<prompt> (repeat): ". Returns a heap copy of
/// the entry (possibly empty) that the caller frees, or null when the two
/// entries differ ("ERROR: passwords don't match" on standard output). The
/// entry buffers are wiped; the caller wipes the copy (SecretString).
char *ask_for_password(const char *prompt, int repeat);

#endif
