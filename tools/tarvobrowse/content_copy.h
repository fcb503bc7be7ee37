/*
 * A file entry's content, from <fileID prefix>/<fileID> in the backup
 * folder to a descriptor: copied as it is for a plain backup, decrypted
 * (AES-256-CBC, the file's own wrapped key) for an encrypted one. The
 * content must match the manifest: a plain file exactly Size bytes, an
 * encrypted one Size rounded up to the next whole block, with good
 * padding and Size bytes inside. Any mismatch is one problem text.
 */
#ifndef TARVO_TOOLS_TARVOBROWSE_CONTENT_COPY_H
#define TARVO_TOOLS_TARVOBROWSE_CONTENT_COPY_H

#include <cstdint>
#include <string>
#include <string_view>

#include "backup_crypto.h"
#include "backup_folder.h"
#include "mb_record.h"

namespace browse {

/// Forty lower-case hex digits, as devices name content files.
bool is_file_id(std::string_view file_id);

/// The size an encrypted file of `plain_size` bytes has on disk.
uint64_t encrypted_size_of(uint64_t plain_size);

/// Copies the content of `record` (row `file_id`) to `out_fd`; `class_keys`
/// is null for a plain backup. False with `problem` ("the content file is
/// missing", "2 bytes short of the manifest's size", ...); some bytes may
/// have been written by then.
bool copy_content(const BackupFolder &folder, std::string_view file_id, const MbRecord &record,
                  const tarvo::BackupClassKeys *class_keys, int out_fd, std::string *problem);

}  // namespace browse

#endif
