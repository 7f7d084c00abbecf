#include "setup/crypto.h"

#include <windows.h>
#include <bcrypt.h>

namespace {

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO AuthInfo(const uint8_t (&nonce)[12], const void* aad, size_t aadLength,
                                               const uint8_t* tag) {
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce);
    info.cbNonce = sizeof nonce;
    info.pbAuthData = static_cast<PUCHAR>(const_cast<void*>(aad));
    info.cbAuthData = static_cast<ULONG>(aadLength);
    info.pbTag = const_cast<PUCHAR>(tag);
    info.cbTag = 16;
    return info;
}

// BCryptEncrypt or BCryptDecrypt: the same arguments; the tag goes out of one and into the other.
using CipherCall = decltype(&BCryptEncrypt);

bool Run(CipherCall call, BCRYPT_KEY_HANDLE key, const uint8_t (&nonce)[12], const void* aad, size_t aadLength,
         const void* in, size_t length, void* out, const uint8_t* tag) {
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = AuthInfo(nonce, aad, aadLength, tag);
    ULONG done = 0;
    // With no output buffer CNG only reports the size and checks no tag, so
    // a header (no data) still gets one.
    UCHAR none = 0;
    return key != nullptr &&
           BCRYPT_SUCCESS(call(key, in != nullptr ? static_cast<PUCHAR>(const_cast<void*>(in)) : &none,
                               static_cast<ULONG>(length), &info, nullptr, 0,
                               out != nullptr ? static_cast<PUCHAR>(out) : &none, static_cast<ULONG>(length), &done, 0)) &&
           done == length;
}

}  // namespace

bool DeriveKeyPbkdf2Sha256(const void* password, size_t passwordLength, const uint8_t* salt, size_t saltLength,
                           uint32_t iterations, uint8_t* key, size_t keyLength) {
    BCRYPT_ALG_HANDLE hmac = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                    BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
        return false;
    }
    const NTSTATUS status = BCryptDeriveKeyPBKDF2(
        hmac, static_cast<PUCHAR>(const_cast<void*>(password)), static_cast<ULONG>(passwordLength),
        const_cast<PUCHAR>(salt), static_cast<ULONG>(saltLength), iterations, key, static_cast<ULONG>(keyLength), 0);
    BCryptCloseAlgorithmProvider(hmac, 0);
    return BCRYPT_SUCCESS(status);
}

bool FillRandom(void* buffer, size_t length) {
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(length),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

GcmCipher::~GcmCipher() {
    Forget();
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
}

void GcmCipher::Forget() {
    // No key object buffer was given: CNG keeps its own and wipes it here.
    if (key_ != nullptr) BCryptDestroyKey(key_);
    key_ = nullptr;
    SecureZeroMemory(keyBytes_, sizeof keyBytes_);
}

bool GcmCipher::SetKey(const uint8_t (&key)[32]) {
    if (algorithm_ == nullptr) {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_AES_ALGORITHM, nullptr, 0)) ||
            !BCRYPT_SUCCESS(BCryptSetProperty(algorithm_, BCRYPT_CHAINING_MODE,
                                              reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                                              sizeof BCRYPT_CHAIN_MODE_GCM, 0))) {
            return false;
        }
    }
    Forget();
    for (size_t i = 0; i < sizeof keyBytes_; ++i) keyBytes_[i] = key[i];
    return BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(algorithm_, &key_, nullptr, 0, keyBytes_, sizeof keyBytes_, 0));
}

bool GcmCipher::Seal(const uint8_t (&nonce)[12], const void* aad, size_t aadLength, const void* in, size_t length,
                     void* out, uint8_t (&tag)[16]) {
    return Run(BCryptEncrypt, key_, nonce, aad, aadLength, in, length, out, tag);
}

bool GcmCipher::Open(const uint8_t (&nonce)[12], const void* aad, size_t aadLength, const void* in, size_t length,
                     void* out, const uint8_t (&tag)[16]) {
    return Run(BCryptDecrypt, key_, nonce, aad, aadLength, in, length, out, tag);
}
