#pragma once
// Whether the compiled modules (.pyc) of a payload still match their sources
// once unpacked, or Python will recompile them and write new ones into the
// installation on first start. Pure: entries and .pyc headers in, a count out.
#include <stddef.h>
#include <stdint.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "payload_check.h"

// Magic, flags, source time, source size: what Python checks a .pyc by.
constexpr size_t kBytecodeHeaderSize = 16;

// Whether `path` (as PayloadEntry.path) is a compiled module in a __pycache__ folder.
bool IsCachedBytecode(std::string_view path);

// The timestamp-based .pyc files (flags 0) under __pycache__ whose recorded
// source time or size differs from their source's as packed (its time through
// PackedTime with `latest`). `headers` holds the first kBytecodeHeaderSize
// bytes of each, by path. One without its NAME.py beside __pycache__, a shorter
// one and a hash-based one are not counted.
size_t CountStaleBytecode(const std::vector<PayloadEntry>& entries,
                          const std::map<std::string, std::vector<uint8_t>>& headers, std::optional<int64_t> latest);

// The one warning line for `count` stale modules, and the remedy.
std::string StaleBytecodeWarning(size_t count);
