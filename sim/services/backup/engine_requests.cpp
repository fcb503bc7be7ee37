/*
 * The table of the requests the backup engine answers.
 */
#include "engine_requests.h"

namespace tarvosim {
namespace {

constexpr RequestRow kEngineRequests[] = {
    {"Backup", answer_backup},
    {"Restore", answer_restore},
    {"Unback", answer_unback},
    {"ChangePassword", answer_change_password},
    {"EnableCloudBackup", answer_enable_cloud_backup},
    {"Info", answer_info},
    {"List", answer_list},
};

}  // namespace

std::span<const RequestRow> engine_request_table() {
    return kEngineRequests;
}

}  // namespace tarvosim
