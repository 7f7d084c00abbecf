#include "setup/password_box.h"

#include "common/show_error.h"

namespace {

constexpr int kPasswordCapacity = 256;
// A UTF-16 unit gives at most 3 bytes of UTF-8 (a surrogate pair 4 for two).
constexpr int kPasswordBytes = kPasswordCapacity * 3;

// Main thread only, during the box and the key derivation; wiped after each try.
wchar_t g_password[kPasswordCapacity];
char g_passwordUtf8[kPasswordBytes];
uint8_t g_key[kSealKeySize];

INT_PTR CALLBACK PasswordBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) {
        SendDlgItemMessageW(box, VORLASTA_PASSWORD_EDIT, EM_LIMITTEXT, kPasswordCapacity - 1, 0);
        return TRUE;
    }
    if (message != WM_COMMAND) return FALSE;
    const WORD command = LOWORD(wParam);
    if (command == IDOK) GetDlgItemTextW(box, VORLASTA_PASSWORD_EDIT, g_password, kPasswordCapacity);
    if (command == IDOK || command == IDCANCEL) EndDialog(box, command);
    return TRUE;
}

void WipeSecrets() {
    SecureZeroMemory(g_password, sizeof g_password);
    SecureZeroMemory(g_passwordUtf8, sizeof g_passwordUtf8);
    SecureZeroMemory(g_key, sizeof g_key);
}

// The key the password gives, set on `cipher`, opens the header's tag.
bool OpensHeader(const uint8_t (&header)[kSealHeaderSize], GcmCipher& cipher) {
    SealHeader fields;
    ParseSealHeader(header, fields);
    // The packer derives from the UTF-8 bytes as typed, not normalised: so does this.
    const int length = WideCharToMultiByte(CP_UTF8, 0, g_password, -1, g_passwordUtf8, kPasswordBytes, nullptr, nullptr);
    uint8_t nonce[kSealNonceSize];
    SealNonce(0, SealNonceKind::Header, nonce);
    const auto& tag = *reinterpret_cast<const uint8_t(*)[kSealTagSize]>(header + kSealAuthenticatedSize);
    return length > 0 &&
           DeriveKeyPbkdf2Sha256(g_passwordUtf8, static_cast<size_t>(length - 1), fields.salt, sizeof fields.salt,
                                 fields.iterations, g_key, sizeof g_key) &&
           cipher.SetKey(g_key) && cipher.Open(nonce, header, kSealAuthenticatedSize, nullptr, 0, nullptr, tag);
}

}  // namespace

bool AskPassword(HINSTANCE instance, const uint8_t (&header)[kSealHeaderSize], GcmCipher& cipher) {
    for (;;) {
        if (DialogBoxParamW(instance, MAKEINTRESOURCEW(VORLASTA_PASSWORD_DIALOG), nullptr, PasswordBoxProc, 0) != IDOK) {
            WipeSecrets();
            return false;
        }
        const bool opened = OpensHeader(header, cipher);
        WipeSecrets();
        if (opened) return true;
        ShowError(L"The password is not right.");
    }
}
