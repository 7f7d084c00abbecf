// Pieces every stand-in shares: its log record, environment settings, text
// conversion and whole-file reading.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace standin {

// Exit status of a stand-in that cannot make sense of what it was given.
constexpr int kExitUnparsable = 64;

std::string ToUtf8(const std::wstring& text);
// Strict: false for bytes that are not valid UTF-8.
bool FromUtf8(const std::string& bytes, std::wstring& text);

// One value of a log line: backslash, line feed and carriage return escaped
// so that the value stays on one line. Returns UTF-8.
std::string EscapeLogValue(const std::wstring& value);

// One invocation's record: `key=value` lines ended by an empty line.
class LogRecord {
public:
    void Add(const char* key, const std::wstring& value);
    std::string Serialise() const;

private:
    std::vector<std::pair<std::string, std::wstring>> fields_;
};

// A record that already holds program, commandLine, cwd and every arg.
LogRecord BeginRecord(const wchar_t* program);

// Appends the record to the file named by VORLASTA_STANDIN_LOG with a single
// write, so records of processes running at once never interleave. True when
// there is no log to write.
bool AppendToLog(const LogRecord& record);
bool AppendRecordTo(const std::wstring& logPath, const LogRecord& record);

// Adds `exit` (and `error` when there is one), writes the record and returns
// the status to exit with; a log that cannot be written turns it into 64.
int Finish(LogRecord& record, int status, const std::wstring& error = std::wstring());

// Every element of the command line, argv[0] included.
std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine);
std::wstring CurrentDirectory();

enum class Setting { Unset, Set, Invalid };
// A decimal integer from the environment that fits a 32-bit exit status or a
// millisecond count: -2147483648 to 4294967295.
Setting ReadIntegerSetting(const wchar_t* name, long long& value);
bool ParseInteger(const std::wstring& text, long long& value);

bool ReadWholeFile(const std::wstring& path, std::string& bytes, std::wstring& error);
// Creates the folder and any missing parents.
bool CreateFolders(const std::wstring& path, std::wstring& error);
std::wstring SystemMessage(DWORD code);
std::wstring Hex8(uint32_t value);

}  // namespace standin
