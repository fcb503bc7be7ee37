// Fuzz target: the keybag of an encrypted backup as parse_keybag() reads it
// from a backup's Manifest.plist. Whatever it accepts must come back equal
// from serialize_keybag() and a second parse.
#include "backup_crypto.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvo::BackupKeybag keybag;
    if (tarvo::parse_keybag({data, size}, keybag) != tarvo::BackupCryptoResult::kOk) {
        return 0;
    }
    const std::vector<uint8_t> written = tarvo::serialize_keybag(keybag);
    tarvo::BackupKeybag again;
    tarvo_fuzz::fuzz_check(tarvo::parse_keybag(written, again) == tarvo::BackupCryptoResult::kOk,
                           "a serialized keybag parses");
    tarvo_fuzz::fuzz_check(again == keybag, "a keybag survives a round trip");
    return 0;
}
