#include "builtin_programs.h"

// The build names the two images (VORLASTA_SETUP_IMAGE, VORLASTA_LAUNCHER_IMAGE);
// the assembler copies their bytes into the packer's read-only data.
#define VORLASTA_EMBED(symbol, file)                                        \
    asm(".pushsection .rodata\n.balign 16\n.globl " #symbol "\n" #symbol ":\n" \
        ".incbin \"" file "\"\n.globl " #symbol "_end\n" #symbol "_end:\n.popsection\n")

VORLASTA_EMBED(vorlasta_builtin_setup, VORLASTA_SETUP_IMAGE);
VORLASTA_EMBED(vorlasta_builtin_launcher, VORLASTA_LAUNCHER_IMAGE);

extern "C" const uint8_t vorlasta_builtin_setup[], vorlasta_builtin_setup_end[];
extern "C" const uint8_t vorlasta_builtin_launcher[], vorlasta_builtin_launcher_end[];

const std::vector<uint8_t>& BuiltInSetupProgram() {
    static const std::vector<uint8_t> image(vorlasta_builtin_setup, vorlasta_builtin_setup_end);
    return image;
}

const std::vector<uint8_t>& BuiltInLauncher() {
    static const std::vector<uint8_t> image(vorlasta_builtin_launcher, vorlasta_builtin_launcher_end);
    return image;
}
