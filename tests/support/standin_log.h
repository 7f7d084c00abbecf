// Reads the log the stand-ins (powershell.exe, tar.exe, pythonw.exe) append
// to the file named by VORLASTA_STANDIN_LOG: one record per invocation, one
// `key=value` line per field, UTF-8, records ended by an empty line.
#pragma once

#include <string>
#include <vector>

struct StandinRecord {
    std::wstring program;  // powershell | tar | python
    std::wstring commandLine, cwd;
    std::wstring kind;                                // powershell: stop | expand | shortcuts
    std::wstring script;                              // powershell
    std::wstring archive, destination, archiveCrc;    // tar
    std::wstring phase;                               // python: start | end
    std::wstring error;
    std::vector<std::wstring> args;      // argv[1...]
    std::vector<std::wstring> literals;  // powershell: decoded, in script order
    std::vector<std::wstring> stopped;   // powershell stop: image paths terminated
    int exitCode = -1;                   // the 32-bit status, as a signed number
    bool hasExit = false;
};

// Every record in the file, oldest first; an empty vector when the file does
// not exist. Throws std::runtime_error for a file that is not such a log.
std::vector<StandinRecord> ReadStandinLog(const std::wstring& path);
