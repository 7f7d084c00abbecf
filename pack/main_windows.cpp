// The entry point on Windows (linked with -municode): the arguments arrive as
// UTF-16 and go on as UTF-8, so any name a shell can pass reaches the packer whole.
#include <windows.h>

#include <string>
#include <vector>

#include "platform.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const int units = static_cast<int>(wcslen(argv[i]));
        std::string arg(WideCharToMultiByte(CP_UTF8, 0, argv[i], units, nullptr, 0, nullptr, nullptr), '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], units, arg.data(), static_cast<int>(arg.size()), nullptr, nullptr);
        args.push_back(arg);
    }
    return PackerMain(args);
}
