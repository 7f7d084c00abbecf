// The entry point on POSIX systems: the arguments are taken as UTF-8 bytes.
#include <string>
#include <vector>

#include "platform.h"

int main(int argc, char** argv) {
    return PackerMain(std::vector<std::string>(argv + 1, argv + argc));
}
