// A ready ZIP payload as the packer unpacks it, then the entry and
// interpreter checks. Every input ends in an entry list or a one-line refusal.
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

#include <vector>

#include "bytecode_check.h"
#include "fuzz_support.h"
#include "interpreter_check.h"
#include "payload_check.h"
#include "payload_source.h"
#include "unique_fd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const InputFile input(data, size);
    const UniqueFd spool(memfd_create("spool", MFD_CLOEXEC));
    Require(static_cast<bool>(spool), "no spool");
    std::vector<PayloadEntry> entries;
    EntryContents contents;
    try {
        entries = UnpackZipFile(input.path(), spool.get(), &contents);
    } catch (const Failure& failure) {
        RequireOneLine(failure, kExitRefused);
        return 0;
    }
    for (PackMode mode : {PackMode::Install, PackMode::Move}) {
        const std::string fault = CheckPayload(entries, mode);
        if (!fault.empty()) RequireOneLine(fault);
    }
    CountStaleBytecode(entries, contents, std::nullopt);  // .pyc headers of any length
    const std::string fault = CheckInterpreter(entries, contents);
    if (!fault.empty()) RequireOneLine(fault);
    return 0;
}
