// The percent of the whole operation, as the device's messages carry it.
#include "overall_progress.h"

#include <string.h>

#include "libtarvo/device_link_protocol.h"
#include "plist_items.h"

namespace dl = libtarvo::dl;

double overall_progress = 0;

void mb2_set_overall_progress_from_message(plist_t message, const char *name) {
    if (!name) {
        return;
    }
    uint32_t index;
    if (strcmp(name, dl::kDownloadFiles) == 0 || strcmp(name, dl::kMoveFiles) == 0 ||
        strcmp(name, dl::kMoveItems) == 0 || strcmp(name, dl::kRemoveFiles) == 0 ||
        strcmp(name, dl::kRemoveItems) == 0) {
        index = 3;
    } else if (strcmp(name, dl::kUploadFiles) == 0) {
        index = 2;
    } else {
        return;
    }
    plist_t node = tarvo::array_item(message, index);
    if (!node) {
        return;
    }
    double value = 0;
    if (plist_get_node_type(node) == PLIST_REAL) {
        plist_get_real_val(node, &value);
    }
    if (value > 0) {
        overall_progress = value;
    }
}
