// A ready ZIP payload as the packer reads it, then the entry checks. Every
// input ends in an entry list or a one-line refusal.
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "fuzz_support.h"
#include "payload_check.h"
#include "payload_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const InputFile input(data, size);
    std::vector<PayloadEntry> entries;
    try {
        entries = ListZipFile(input.path());
    } catch (const Failure& failure) {
        RequireOneLine(failure, kExitRefused);
        return 0;
    }
    for (PackMode mode : {PackMode::Install, PackMode::Move}) {
        const std::string fault = CheckPayload(entries, mode);
        if (!fault.empty()) RequireOneLine(fault);
    }
    return 0;
}
