/*
 * String, path and file helpers shared by the tools, and the plain-text
 * property-list printer. Every returned string is a new heap block that the
 * caller releases with free(); the variadic builders take strings only and
 * their list must end with a null pointer.
 */
#ifndef TARVO_COMMON_UTILS_H
#define TARVO_COMMON_UTILS_H

#include <plist/plist.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

char *string_concat(const char *first, ...);
char *string_append(char *existing, ...);
char *string_build_path(const char *first, ...);
char *string_format_size(uint64_t size);
/// string_format_size's text into `out` (NUL-terminated, cut to fit):
/// its length. For callers that format often and own a buffer.
size_t format_size_into(uint64_t size, char *out, size_t capacity);
char *string_toupper(const char *text);
char *generate_uuid(void);

void buffer_read_from_filename(const char *filename, char **buffer, uint64_t *length);
void buffer_write_to_filename(const char *filename, const char *data, uint64_t length);

/* Returns 1 when the file's bytes were handed to a parser (the node may
 * still be null if they did not parse), 0 when the file could not be read. */
int plist_read_from_filename(plist_t *plist, const char *filename);
/* format: 0 XML, 1 binary. Returns 1 when written, else 0. */
int plist_write_to_filename(plist_t plist, const char *filename, int format);

void plist_print_to_stream(plist_t plist, FILE *stream);
void plist_dict_print_to_stream(plist_t dict, int *indent, FILE *stream);
void plist_node_print_to_stream(plist_t node, int *indent, FILE *stream);

#ifdef __cplusplus
}
#endif

#endif
