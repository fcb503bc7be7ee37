// Status.plist of a device's backup.
#include "backup_state.h"

#include <stdio.h>
#include <string.h>

#include "owners.h"
#include "utils.h"

bool mb2_status_check_snapshot_state(const char *directory, const char *udid) {
    CString path(string_build_path(directory, udid, "Status.plist", nullptr));
    plist_t raw = nullptr;
    if (path) {
        plist_read_from_filename(&raw, path.get());
    }
    PlistPtr status(raw);
    if (!status) {
        printf("Could not read Status.plist!\n");
        return false;
    }
    plist_t state = plist_get_node_type(status.get()) == PLIST_DICT
                        ? plist_dict_get_item(status.get(), "SnapshotState")
                        : nullptr;
    if (!state || plist_get_node_type(state) != PLIST_STRING) {
        printf("%s: ERROR could not get SnapshotState key from Status.plist!\n",
               "mb2_status_check_snapshot_state");
        return false;
    }
    return plist_string_val_compare(state, "finished") == 0;
}
