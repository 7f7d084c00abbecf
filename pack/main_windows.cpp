// The entry point on Windows (linked with -municode): the arguments arrive as
// UTF-16 and go on as UTF-8, so any name a shell can pass reaches the packer whole.
#include <string>
#include <vector>

#include "platform.h"
#include "utf8_text.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(Utf8FromWide(argv[i]));
    return PackerMain(args);
}
