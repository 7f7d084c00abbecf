// tar.exe stand-in: unpacks the ZIP archive the setup program hands to
// Windows' bsdtar, as `tar -xf <archive> -C <folder>`.
#include <windows.h>

#include "standin_common.h"
#include "zip_reader.h"

using namespace standin;

int wmain() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    LogRecord record = BeginRecord(L"tar");

    long long sleepMs = 0, injectedExit = 0;
    const Setting sleep = ReadIntegerSetting(L"VORLASTA_STANDIN_TAR_SLEEP_MS", sleepMs);
    const Setting exit = ReadIntegerSetting(L"VORLASTA_STANDIN_TAR_EXIT", injectedExit);
    if (sleep == Setting::Invalid || (sleep == Setting::Set && sleepMs < 0)) {
        return Finish(record, kExitUnparsable, L"VORLASTA_STANDIN_TAR_SLEEP_MS is not a number of milliseconds");
    }
    if (exit == Setting::Invalid) return Finish(record, kExitUnparsable, L"VORLASTA_STANDIN_TAR_EXIT is not a status");
    if (sleep == Setting::Set) Sleep(static_cast<DWORD>(sleepMs));
    // Held, as if still unpacking, for as long as the test keeps this file.
    wchar_t hold[MAX_PATH];
    const DWORD holdLength = GetEnvironmentVariableW(L"VORLASTA_STANDIN_TAR_HOLD", hold, MAX_PATH);
    if (holdLength > 0 && holdLength < MAX_PATH) {
        while (GetFileAttributesW(hold) != INVALID_FILE_ATTRIBUTES) Sleep(20);
    }

    const std::vector<std::wstring> args = SplitCommandLine(GetCommandLineW());
    if (args.size() != 5 || args[1] != L"-xf" || args[3] != L"-C") {
        return Finish(record, kExitUnparsable, L"expected exactly: -xf <archive> -C <folder>");
    }
    const std::wstring& archivePath = args[2];
    const std::wstring& destination = args[4];
    record.Add("archive", archivePath);
    record.Add("destination", destination);

    std::string archive;
    std::wstring readError;
    const bool readable = ReadWholeFile(archivePath, archive, readError);
    if (readable) record.Add("archiveCrc", Hex8(Crc32(archive)));
    if (exit == Setting::Set) return Finish(record, static_cast<int>(injectedExit));

    // bsdtar changes into the -C folder first and never creates it.
    const DWORD attributes = GetFileAttributesW(destination.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return Finish(record, 1, L"could not chdir to '" + destination + L"'");
    }
    if (!readable) return Finish(record, 1, L"Error opening archive: " + readError);

    std::vector<ZipEntry> entries;
    std::wstring error;
    if (!ReadZip(archive, entries, error) || !WriteEntries(entries, destination, error)) {
        return Finish(record, 1, error);
    }
    return Finish(record, 0);
}
