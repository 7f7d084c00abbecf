#pragma once
// Whether the bundled interpreter can start at all: the launcher, pythonw.exe,
// the Python DLL and C runtime it loads, and the ._pth path list. Pure: bytes
// in, a fault out, so that it can be tested and fuzzed without files.
#include <stdint.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "payload_check.h"

// Whether the checks need this payload entry's bytes (path as PayloadEntry.path).
bool NeedsInterpreterContent(std::string_view path);

// Empty when the bundled interpreter can start; otherwise one line naming the
// file and the fix. `contents` holds the bytes of the entries for which
// NeedsInterpreterContent() is true, keyed by their path.
std::string CheckInterpreter(const std::vector<PayloadEntry>& entries,
                             const std::map<std::string, std::vector<uint8_t>>& contents);

// The one verdict that packing and inspect give: the payload checks in `mode`,
// then, when `contents` is given, the interpreter checks. Empty when the
// payload may be packed, otherwise its first fault.
std::string JudgePayload(const std::vector<PayloadEntry>& entries, PackMode mode,
                         const std::map<std::string, std::vector<uint8_t>>* contents);

// Printed once when the checks are turned off.
extern const char kSkipInterpreterChecksWarning[];
