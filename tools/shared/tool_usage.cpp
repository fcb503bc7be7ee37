// Usage and version output shared by the tools.
#include "tool_usage.h"

#include <string.h>

#include "tarvo_config.h"

const char *tool_base_name(const char *argv0) {
    const char *slash = strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

void tool_print_version(const char *name) {
    printf("%s %s\n", name, PACKAGE_VERSION);
}

void tool_print_addresses(FILE *stream) {
    fprintf(stream, "Homepage:    <" PACKAGE_URL ">\n");
    fprintf(stream, "Bug Reports: <" PACKAGE_BUGREPORT ">\n");
}
