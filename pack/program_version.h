#pragma once
#include <stdint.h>

#include <string>

#include "setup/trailer.h"

// The product version in the fixed part of a PE32+ image's version resource
// (type 16, its first name and language), as "1.2.3", with a fourth part only
// when it is not 0. Empty when the image has none or is over 16 MiB. Reads only
// below `end`.
std::string ReadProgramVersion(ByteSource& file, int64_t end);
