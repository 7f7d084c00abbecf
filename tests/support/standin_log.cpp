#include "tests/support/standin_log.h"

#include <windows.h>

#include <stdint.h>

#include <stdexcept>

namespace {

std::wstring Widen(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, 0);
    if (size <= 0) throw std::runtime_error("stand-in log line is not UTF-8: " + bytes);
    std::wstring text(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    return text;
}

std::wstring Unescape(const std::string& line, const std::string& escaped) {
    std::string out;
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            out += escaped[i];
            continue;
        }
        const char next = i + 1 < escaped.size() ? escaped[i + 1] : '\0';
        if (next == '\\') out += '\\';
        else if (next == 'n') out += '\n';
        else if (next == 'r') out += '\r';
        else throw std::runtime_error("stand-in log line has a bad escape: " + line);
        ++i;
    }
    return Widen(out);
}

void Apply(StandinRecord& record, const std::string& line) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) throw std::runtime_error("stand-in log line is not key=value: " + line);
    const std::string key = line.substr(0, equals);
    const std::wstring value = Unescape(line, line.substr(equals + 1));
    if (key == "program") record.program = value;
    else if (key == "commandLine") record.commandLine = value;
    else if (key == "cwd") record.cwd = value;
    else if (key == "arg") record.args.push_back(value);
    else if (key == "kind") record.kind = value;
    else if (key == "script") record.script = value;
    else if (key == "literal") record.literals.push_back(value);
    else if (key == "stopped") record.stopped.push_back(value);
    else if (key == "archive") record.archive = value;
    else if (key == "destination") record.destination = value;
    else if (key == "archiveCrc") record.archiveCrc = value;
    else if (key == "phase") record.phase = value;
    else if (key == "error") record.error = value;
    else if (key == "exit") {
        size_t used = 0;
        long long status = 0;
        try {
            status = std::stoll(value, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != value.size() || status < INT32_MIN || status > INT32_MAX) {
            throw std::runtime_error("stand-in log has a bad exit line: " + line);
        }
        record.exitCode = static_cast<int>(status);
        record.hasExit = true;
    } else {
        throw std::runtime_error("stand-in log has an unknown key: " + line);
    }
}

}  // namespace

std::vector<StandinRecord> ReadStandinLog(const std::wstring& path) {
    std::vector<StandinRecord> records;
    // Stand-ins may still be appending: share both ways.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return records;
        throw std::runtime_error("cannot open the stand-in log (error " + std::to_string(code) + ")");
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    CloseHandle(file);
    // A record still being appended has no empty line after it yet: leave it out.
    const size_t complete = bytes.rfind("\n\n");
    bytes.resize(complete == std::string::npos ? 0 : complete + 2);

    StandinRecord current;
    bool open = false;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t stop = bytes.find('\n', start);
        if (stop == std::string::npos) stop = bytes.size();
        const std::string line = bytes.substr(start, stop - start);
        start = stop + 1;
        if (line.empty()) {
            if (open) records.push_back(std::move(current));
            current = StandinRecord();
            open = false;
            continue;
        }
        Apply(current, line);
        open = true;
    }
    return records;
}
