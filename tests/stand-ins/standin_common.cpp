#include "standin_common.h"

#include <shellapi.h>

#include <errno.h>
#include <limits.h>
#include <stdlib.h>

namespace standin {

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

bool FromUtf8(const std::string& bytes, std::wstring& text) {
    text.clear();
    if (bytes.empty()) return true;
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, 0);
    if (size <= 0) return false;
    text.resize(static_cast<size_t>(size));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    return true;
}

std::string EscapeLogValue(const std::wstring& value) {
    std::wstring escaped;
    escaped.reserve(value.size());
    for (wchar_t c : value) {
        switch (c) {
            case L'\\': escaped += L"\\\\"; break;
            case L'\n': escaped += L"\\n"; break;
            case L'\r': escaped += L"\\r"; break;
            default: escaped += c;
        }
    }
    return ToUtf8(escaped);
}

void LogRecord::Add(const char* key, const std::wstring& value) { fields_.emplace_back(key, value); }

std::string LogRecord::Serialise() const {
    std::string out;
    for (const auto& field : fields_) {
        out += field.first;
        out += '=';
        out += EscapeLogValue(field.second);
        out += '\n';
    }
    out += '\n';
    return out;
}

std::vector<std::wstring> SplitCommandLine(const wchar_t* commandLine) {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &count);
    if (argv == nullptr) return args;
    for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

std::wstring CurrentDirectory() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0) return std::wstring();
    std::wstring dir(size, L'\0');
    const DWORD written = GetCurrentDirectoryW(size, &dir[0]);
    dir.resize(written);
    return dir;
}

LogRecord BeginRecord(const wchar_t* program) {
    LogRecord record;
    record.Add("program", program);
    const wchar_t* commandLine = GetCommandLineW();
    record.Add("commandLine", commandLine);
    record.Add("cwd", CurrentDirectory());
    const std::vector<std::wstring> args = SplitCommandLine(commandLine);
    for (size_t i = 1; i < args.size(); ++i) record.Add("arg", args[i]);
    return record;
}

bool AppendRecordTo(const std::wstring& logPath, const LogRecord& record) {
    const std::string bytes = record.Serialise();
    HANDLE file = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool AppendToLog(const LogRecord& record) {
    wchar_t path[32768];
    const DWORD length = GetEnvironmentVariableW(L"VORLASTA_STANDIN_LOG", path, 32768);
    if (length == 0 || length >= 32768) return true;
    return AppendRecordTo(path, record);
}

int Finish(LogRecord& record, int status, const std::wstring& error) {
    record.Add("exit", std::to_wstring(status));
    if (!error.empty()) record.Add("error", error);
    return AppendToLog(record) ? status : kExitUnparsable;
}

bool ParseInteger(const std::wstring& text, long long& value) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == L'-';
    if (negative) i = 1;
    if (i == text.size() || text.size() - i > 10) return false;
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        magnitude = magnitude * 10 + (text[i] - L'0');
    }
    value = negative ? -magnitude : magnitude;
    return value >= INT_MIN && value <= static_cast<long long>(UINT_MAX);
}

Setting ReadIntegerSetting(const wchar_t* name, long long& value) {
    wchar_t text[64];
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(name, text, 64);
    if (length == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? Setting::Unset : Setting::Invalid;
    if (length >= 64) return Setting::Invalid;
    return ParseInteger(text, value) ? Setting::Set : Setting::Invalid;
}

std::wstring SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length != 0 ? std::wstring(text, length) : std::wstring();
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
        message.pop_back();
    }
    return L"error " + std::to_wstring(code) + (message.empty() ? L"" : L" (" + message + L")");
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes, std::wstring& error) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = L"cannot open " + path + L": " + SystemMessage(GetLastError());
        return false;
    }
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 0x7FFFFFFF;
    if (ok) {
        bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        ok = bytes.empty() || (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                               read == bytes.size());
    }
    if (!ok) error = L"cannot read " + path + L": " + SystemMessage(GetLastError());
    CloseHandle(file);
    return ok;
}

bool CreateFolders(const std::wstring& path, std::wstring& error) {
    std::wstring folder = path;
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
        error = folder + L" exists and is not a folder";
        return false;
    }
    const size_t slash = folder.find_last_of(L"\\/");
    // Stop at a drive root ("C:") or the start of a relative path.
    if (slash != std::wstring::npos && slash > 0 && folder[slash - 1] != L':') {
        if (!CreateFolders(folder.substr(0, slash), error)) return false;
    }
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        error = L"cannot create folder " + folder + L": " + SystemMessage(GetLastError());
        return false;
    }
    return true;
}

std::wstring Hex8(uint32_t value) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text(8, L'0');
    for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = digits[value & 0xF];
    return text;
}

}  // namespace standin
