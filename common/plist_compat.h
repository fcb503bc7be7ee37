/*
 * Property-list calls that newer libplist releases offer and older ones lack:
 * JSON input, reading a file in any encoding, and writing to a stream (XML,
 * binary, JSON, or plain text for people). Where the installed libplist has a
 * call, its own declaration is used and nothing is declared here, so this
 * header is harmless to include everywhere.
 *
 * The build defines TARVO_HAVE_PLIST_FROM_JSON, TARVO_HAVE_PLIST_READ_FROM_FILE
 * and TARVO_HAVE_PLIST_WRITE_TO_STREAM for each call the library has. A library
 * that has any of them also declares plist_err_t; one that can read or write
 * files also declares plist_format_t and the write options.
 *
 * Compare results against the names, never against numbers: the library and
 * this fallback need not agree on the values of the failure codes.
 */
#ifndef TARVO_COMMON_PLIST_COMPAT_H
#define TARVO_COMMON_PLIST_COMPAT_H

#include <plist/plist.h>
#include <stdint.h>
#include <stdio.h>

#if !defined(TARVO_HAVE_PLIST_FROM_JSON) && !defined(TARVO_HAVE_PLIST_READ_FROM_FILE) && \
    !defined(TARVO_HAVE_PLIST_WRITE_TO_STREAM)
#define TARVO_PLIST_COMPAT_ERROR_TYPE 1
#endif
#if !defined(TARVO_HAVE_PLIST_READ_FROM_FILE) && !defined(TARVO_HAVE_PLIST_WRITE_TO_STREAM)
#define TARVO_PLIST_COMPAT_FORMAT_TYPES 1
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifdef TARVO_PLIST_COMPAT_ERROR_TYPE
typedef enum {
    PLIST_ERR_SUCCESS = 0,
    PLIST_ERR_INVALID_ARG = -1, /* a required argument is null */
    PLIST_ERR_FORMAT = -2,      /* the output format is unknown or cannot hold the nodes */
    PLIST_ERR_PARSE = -3,       /* the input is not a property list we can read */
    PLIST_ERR_NO_MEM = -4,      /* out of memory, or the input is too large to hold */
    PLIST_ERR_IO = -5,          /* the file could not be opened, read or written */
    PLIST_ERR_UNKNOWN = -255
} plist_err_t;
#endif

#ifdef TARVO_PLIST_COMPAT_FORMAT_TYPES
typedef enum {
    PLIST_FORMAT_NONE = 0,
    PLIST_FORMAT_XML = 1,
    PLIST_FORMAT_BINARY = 2,
    PLIST_FORMAT_JSON = 3,
    PLIST_FORMAT_OSTEP = 4,  /* named for completeness; neither read nor written here */
    PLIST_FORMAT_PRINT = 10, /* text for people, written like PLIST_FORMAT_LIMD */
    PLIST_FORMAT_LIMD = 11   /* text for people: "Key: value" lines */
} plist_format_t;

typedef enum {
    PLIST_OPT_NONE = 0,
    PLIST_OPT_COMPACT = 1 << 0,      /* JSON without blanks and line breaks */
    PLIST_OPT_PARTIAL_DATA = 1 << 1, /* text for people: long data shortened */
    PLIST_OPT_NO_NEWLINE = 1 << 2,   /* text for people and JSON: no final line end */
    PLIST_OPT_INDENT = 1 << 3,       /* text for people: extra levels, see PLIST_OPT_INDENT_BY */
    /* Not an option: widens the type's range so that options carrying up to
     * 127 indentation levels are valid values of it. */
    TARVO_PLIST_OPT_INDENT_LEVELS = 0x7F000000
} plist_write_options_t;
#endif

#ifndef PLIST_OPT_INDENT_BY
/* The number of extra indentation levels, OR'ed into the options with PLIST_OPT_INDENT. */
#define PLIST_OPT_INDENT_BY(x) ((((unsigned)(x)) & 0xFFu) << 24)
#endif

#ifndef TARVO_HAVE_PLIST_FROM_JSON
/* Parses length bytes of JSON text. On success *plist owns the new node; on
 * failure it is null. null is refused (property lists have no null value). */
plist_err_t plist_from_json(const char *json, uint32_t length, plist_t *plist);
#endif

#ifndef TARVO_HAVE_PLIST_READ_FROM_FILE
/* Reads a whole file holding a binary, XML or JSON property list, detected by
 * content. *format (when not null) receives the detected encoding on success. */
plist_err_t plist_read_from_file(const char *filename, plist_t *plist, plist_format_t *format);
#endif

#ifndef TARVO_HAVE_PLIST_WRITE_TO_STREAM
/* Writes plist to stream as XML, binary, JSON or text for people. The output is
 * rendered completely before anything is written, so a refused node or format
 * leaves the stream untouched. */
plist_err_t plist_write_to_stream(plist_t plist, FILE *stream, plist_format_t format,
                                  plist_write_options_t options);
#endif

#ifdef __cplusplus
}
#endif

#endif
