// `inspect` of a whole setup file: a report, or a one-line reason it is invalid.
#include <stddef.h>
#include <stdint.h>

#include <sstream>

#include "fuzz_support.h"
#include "report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const InputFile input(data, size);
    std::ostringstream report;
    try {
        Inspect(input.path(), true, report);
    } catch (const Failure& failure) {
        RequireOneLine(failure, kExitFailed);
        return 0;
    }
    Require(report.str().rfind(input.path() + ": Vorlasta setup file\n", 0) == 0, "report without its heading");
    return 0;
}
