#include "builtin_programs.h"

// The build writes both images into a source of their own (builtin_images.cpp).
extern const unsigned char kBuiltInSetupProgram[], kBuiltInLauncher[];
extern const unsigned long long kBuiltInSetupProgramSize, kBuiltInLauncherSize;

const std::vector<uint8_t>& BuiltInSetupProgram() {
    static const std::vector<uint8_t> image(kBuiltInSetupProgram, kBuiltInSetupProgram + kBuiltInSetupProgramSize);
    return image;
}

const std::vector<uint8_t>& BuiltInLauncher() {
    static const std::vector<uint8_t> image(kBuiltInLauncher, kBuiltInLauncher + kBuiltInLauncherSize);
    return image;
}
