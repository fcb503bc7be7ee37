// Fuzz target: the MBFile records of Manifest.db as tarvobrowse reads them
// (decode_mb_record()). Whatever it accepts must keep the promises the
// extraction relies on: names within their caps and a Size that sums safely.
#include "fuzz_support.h"
#include "mb_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string why;
    const std::optional<browse::MbRecord> record = browse::decode_mb_record({data, size}, &why);
    if (!record) {
        tarvo_fuzz::fuzz_check(!why.empty(), "a refusal says why");
        return 0;
    }
    tarvo_fuzz::fuzz_check(size <= browse::kMaxRecordBytes, "long archives are refused");
    tarvo_fuzz::fuzz_check(record->relative_path.size() <= browse::kMaxRecordPathBytes,
                           "the path is within its cap");
    tarvo_fuzz::fuzz_check(!record->target || record->target->size() <= browse::kMaxRecordPathBytes,
                           "the target is within its cap");
    tarvo_fuzz::fuzz_check(record->size <= (uint64_t(1) << 62), "the size sums safely");
    return 0;
}
