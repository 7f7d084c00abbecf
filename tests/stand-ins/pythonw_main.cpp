// pythonw.exe stand-in: runs a directive script (see python_script.h) named
// by its first argument, the way the launcher starts app\main.py.
#include <windows.h>

#include "python_script.h"
#include "standin_common.h"

using namespace standin;

namespace {

bool WriteText(const Directive& directive, std::wstring& error) {
    const size_t slash = directive.path.find_last_of(L"\\/");
    if (slash != std::wstring::npos && !CreateFolders(directive.path.substr(0, slash), error)) return false;
    HANDLE file = CreateFileW(directive.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = L"cannot create " + directive.path + L": " + SystemMessage(GetLastError());
        return false;
    }
    DWORD written = 0;
    const bool ok = directive.text.empty() || (WriteFile(file, directive.text.data(),
                                                         static_cast<DWORD>(directive.text.size()), &written,
                                                         nullptr) &&
                                               written == directive.text.size());
    if (!ok) error = L"cannot write " + directive.path + L": " + SystemMessage(GetLastError());
    CloseHandle(file);
    return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    // Tests see this record while the script still sleeps.
    LogRecord start = BeginRecord(L"python");
    start.Add("phase", L"start");
    if (!AppendToLog(start)) return kExitUnparsable;

    LogRecord record = BeginRecord(L"python");
    record.Add("phase", L"end");
    const std::vector<std::wstring> args = SplitCommandLine(GetCommandLineW());
    if (args.size() < 2) return Finish(record, kExitUnparsable, L"no script named");

    std::string script;
    std::wstring error;
    if (!ReadWholeFile(args[1], script, error)) {
        return Finish(record, 2, L"can't open file '" + args[1] + L"': " + error);
    }
    std::vector<Directive> directives;
    if (!ParseDirectives(script, directives, error)) return Finish(record, kExitUnparsable, args[1] + L": " + error);

    for (const Directive& directive : directives) {
        switch (directive.kind) {
            case Directive::Sleep: Sleep(static_cast<DWORD>(directive.number)); break;
            case Directive::Exit: return Finish(record, static_cast<int>(directive.number));
            case Directive::Write:
                if (!WriteText(directive, error)) return Finish(record, 1, error);
                break;
        }
    }
    return Finish(record, 0);
}
