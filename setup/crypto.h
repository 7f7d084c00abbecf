#pragma once
// The system's cryptography behind one small interface: CNG on Windows
// (crypto_windows.cpp, in the setup program and the Windows packer), OpenSSL's
// libcrypto on Linux (pack/crypto_posix.cpp). Nothing here is written by hand.
#include <stddef.h>
#include <stdint.h>

// PBKDF2-HMAC-SHA256; false when the system refuses.
bool DeriveKeyPbkdf2Sha256(const void* password, size_t passwordLength, const uint8_t* salt, size_t saltLength,
                           uint32_t iterations, uint8_t* key, size_t keyLength);

// Fills the buffer from the system's random source; false when it fails.
bool FillRandom(void* buffer, size_t length);

// AES-256-GCM under one key, with 12-byte nonces and 16-byte tags. The key
// and the system's copy of it are wiped when the cipher goes.
class GcmCipher {
public:
    GcmCipher() = default;
    GcmCipher(const GcmCipher&) = delete;
    GcmCipher& operator=(const GcmCipher&) = delete;
    ~GcmCipher();

    bool SetKey(const uint8_t (&key)[32]);
    // Wipes the key, here and in the system; SetKey gives it another.
    void Forget();
    // `out` may be `in`. Seal writes the tag; Open is false when the tag fails.
    bool Seal(const uint8_t (&nonce)[12], const void* aad, size_t aadLength, const void* in, size_t length,
              void* out, uint8_t (&tag)[16]);
    bool Open(const uint8_t (&nonce)[12], const void* aad, size_t aadLength, const void* in, size_t length,
              void* out, const uint8_t (&tag)[16]);

private:
    void* algorithm_ = nullptr;
    [[maybe_unused]] void* key_ = nullptr;  // CNG's key handle; libcrypto works from keyBytes_
    uint8_t keyBytes_[32] = {};
};
