// tar.exe stand-in: unpacks the ZIP archive the setup program hands to
// Windows' bsdtar, as `tar -xf <archive> -C <folder>`. Like bsdtar it has an
// ANSI main: its arguments arrive through the ANSI code page, '?' in place of
// characters outside it, so such a path cannot be opened. The log's
// commandLine is what was passed; archive and destination are what arrived.
#include <windows.h>

#include "standin_common.h"
#include "zip_reader.h"

using namespace standin;

namespace {

std::wstring FromAnsi(const char* text) {
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], units);
    wide.resize(static_cast<size_t>(units - 1));
    return wide;
}

}  // namespace

int main(int argc, char** argv) {
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

    if (argc != 5 || std::string(argv[1]) != "-xf" || std::string(argv[3]) != "-C") {
        return Finish(record, kExitUnparsable, L"expected exactly: -xf <archive> -C <folder>");
    }
    const std::wstring archivePath = FromAnsi(argv[2]);
    const std::wstring destination = FromAnsi(argv[4]);
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
    if (!ReadZip(archive, entries, error)) return Finish(record, 1, error);
    // A disk that fills half-way: the first half of the entries arrives, then tar fails.
    const bool half = GetEnvironmentVariableW(L"VORLASTA_STANDIN_TAR_HALF", nullptr, 0) > 0;
    if (half) entries.resize((entries.size() + 1) / 2);
    if (!WriteEntries(entries, destination, error)) return Finish(record, 1, error);
    return half ? Finish(record, 1, L"Write failed: No space left on device") : Finish(record, 0);
}
