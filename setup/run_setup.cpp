#include "setup/run_setup.h"

#include "common/format_bounded.h"
#include "common/show_error.h"
#include "setup/confirm.h"
#include "setup/password_box.h"
#include "setup/payload_copy.h"
#include "setup/progress_window.h"
#include "setup/setup_state.h"
#include "setup/trailer.h"

namespace {

constexpr DWORD kLongestArchiveName = 23;  // "vorlasta-4294967295.zip"

constexpr const wchar_t* kNoDataInside = L"This file is damaged (no Vorlasta data inside). Download it again.";
constexpr const wchar_t* kDamaged = L"This file is damaged.";
constexpr const wchar_t* kCopyFailed =
    L"Could not read the Vorlasta data from this setup file. Download the setup again.";
constexpr const wchar_t* kTempUnwritable = L"Cannot write to the TEMP folder.";

// Reads the setup file at absolute positions for the trailer search.
class FileSource final : public ByteSource {
public:
    explicit FileSource(HANDLE file) : file_(file) {}
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override {
        LARGE_INTEGER position;
        position.QuadPart = offset;
        if (!SetFilePointerEx(file_, position, nullptr, FILE_BEGIN)) return 0;
        DWORD got = 0;
        if (!ReadFile(file_, buffer, count, &got, nullptr)) return 0;
        return got;
    }

private:
    HANDLE file_;
};

int FailWith(const wchar_t* text) {
    FormatBounded(g_installOutcome.ErrorText, L"%ls", text);
    ShowError(g_installOutcome.ErrorText);
    return 1;
}

// Whether the payload is sealed under a password: it starts with the container's magic.
bool IsSealed(ByteSource& source, const TrailerInfo& trailer, uint8_t (&header)[kSealHeaderSize]) {
    return source.ReadAt(trailer.payloadOffset, header, kSealHeaderSize) >= sizeof kSealMagic &&
           HasSealMagic(header, kSealHeaderSize);
}

bool FileExists(const wchar_t* path) {
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int RunSetup(HINSTANCE instance) {
    GetModuleFileNameW(nullptr, g_setupState.SelfPath, kPathCapacity);

    wchar_t localAppData[kPathCapacity];
    const DWORD localAppDataLength = GetEnvironmentVariableW(L"LOCALAPPDATA", localAppData, kPathCapacity);
    if (localAppDataLength == 0) {
        ShowError(L"LOCALAPPDATA is not set.");
        return 1;
    }
    // Longer values would cut the paths built inside InstallDir without a word,
    // and a move would then set the data aside under a cut-off name.
    if (localAppDataLength > static_cast<DWORD>(kMaxLocalAppDataLength)) {
        ShowError(L"The LOCALAPPDATA folder path is too long.");
        return 1;
    }
    FormatBounded(g_setupState.InstallDir, L"%ls%ls", localAppData, kInstallDirSuffix);

    HANDLE setupFile = CreateFileW(g_setupState.SelfPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (setupFile == INVALID_HANDLE_VALUE) return FailWith(L"Cannot read the setup file.");

    LARGE_INTEGER fileSize{};
    GetFileSizeEx(setupFile, &fileSize);
    FileSource source(setupFile);
    TrailerInfo trailer;
    const TrailerResult found = LocateTrailer(source, fileSize.QuadPart, trailer);
    if (trailer.magicMatched) g_setupState.Mode = trailer.mode;
    if (found != TrailerResult::Valid) {
        CloseHandle(setupFile);
        return FailWith(found == TrailerResult::Missing ? kNoDataInside : kDamaged);
    }

    uint8_t header[kSealHeaderSize];
    const bool sealed = IsSealed(source, trailer, header);
    SealHeader fields;
    if (sealed && (trailer.payloadSize < kSealHeaderSize || !ParseSealHeader(header, fields))) {
        CloseHandle(setupFile);
        return FailWith(kDamaged);
    }
    // Its key lives until the copy is done.
    GcmCipher cipher;
    if (sealed && !AskPassword(instance, header, cipher)) {
        CloseHandle(setupFile);
        return 0;
    }

    wchar_t tempFolder[kPathCapacity];
    const DWORD tempLength = GetTempPathW(kPathCapacity, tempFolder);
    HANDLE archive = INVALID_HANDLE_VALUE;
    // A temporary folder unread, or too long for the archive's full name, is unusable.
    if (tempLength != 0 && tempLength + kLongestArchiveName < static_cast<DWORD>(kPathCapacity)) {
        FormatBounded(g_setupState.TempArchivePath, L"%lsvorlasta-%lu.zip", tempFolder,
                      static_cast<unsigned long>(GetTickCount()));
        archive = CreateFileW(g_setupState.TempArchivePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    }
    if (archive == INVALID_HANDLE_VALUE) {
        CloseHandle(setupFile);
        return FailWith(kTempUnwritable);
    }

    const CopyResult copied =
        sealed ? CopySealedPayload(setupFile, archive, trailer.payloadOffset, trailer.payloadSize, cipher)
               : CopyPayload(setupFile, archive, trailer.payloadOffset, trailer.payloadSize);
    cipher.Forget();
    CloseHandle(archive);
    CloseHandle(setupFile);
    // A cut archive would be unpacked over the installed files: stop before the question.
    if (copied == CopyResult::WriteFailed) {
        DeleteFileW(g_setupState.TempArchivePath);
        return FailWith(kTempUnwritable);
    }
    if (copied == CopyResult::Damaged) {
        DeleteFileW(g_setupState.TempArchivePath);
        return FailWith(kDamaged);
    }
    if (copied == CopyResult::ReadFailed) return FailWith(kCopyFailed);

    wchar_t databasePath[kPathCapacity];
    FormatBounded(databasePath, L"%ls\\data\\shop.db", g_setupState.InstallDir);
    wchar_t question[kQuestionCapacity];
    BuildQuestion(g_setupState.Mode, FileExists(databasePath), g_setupState.InstallDir, question);
    if (MessageBoxW(nullptr, question, L"Vorlasta", MB_OKCANCEL | MB_ICONQUESTION) != IDOK) {
        DeleteFileW(g_setupState.TempArchivePath);
        return 0;
    }
    return RunProgressWindow(instance);
}
