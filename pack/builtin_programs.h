#pragma once
// The bare setup program and the launcher this packer was built with, so a
// vendor needs no other file beside the application and its Python.
#include <stdint.h>

#include <vector>

const std::vector<uint8_t>& BuiltInSetupProgram();
const std::vector<uint8_t>& BuiltInLauncher();
