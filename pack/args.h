#pragma once
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

struct PackOptions {
    std::string program;  // the setup program image; empty: the built-in one
    std::string payload;  // a folder or a .zip
    std::string output;
    bool move = false;
    unsigned threads = 0;  // deflating at once; 0: one per core
};

struct MoveOptions {
    std::string from;     // the installation; empty: DefaultInstallation()
    std::string program;  // the setup program image
    std::string output;
    bool progressLines = false;  // "progress DONE TOTAL" lines instead of the console line
    bool encrypt = false;        // seal the payload under a password
    bool passwordStdin = false;  // the password is standard input's first line, not asked on the console
    unsigned threads = 0;        // deflating at once; 0: one per core
};

struct Command {
    enum Kind { Pack, Inspect, Move, Help } kind = Pack;
    PackOptions pack;
    MoveOptions move;
    std::string inspectFile;
    bool inspectPasswordStdin = false;  // open a sealed payload with standard input's first line
    bool skipInterpreterChecks = false;
};

extern const char kUsage[];

// Parses the arguments after the program name; throws UsageError.
Command ParseArgs(const std::vector<std::string>& args);

// The latest time an entry may carry: SOURCE_DATE_EPOCH's value (`value`, or
// nullptr when unset), which must be a non-negative whole number of seconds;
// any other value is refused (Failure, status 2).
std::optional<int64_t> LatestEntryTime(const char* value);
