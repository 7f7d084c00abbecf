// The Linux build's cryptography: OpenSSL's libcrypto, and getrandom.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include <errno.h>

#include "setup/crypto.h"

namespace {

EVP_CIPHER_CTX* Context(void* state) {
    return static_cast<EVP_CIPHER_CTX*>(state);
}

// One AES-256-GCM pass over `in`; encrypting writes the tag, decrypting checks it.
bool Run(void* state, const uint8_t (&key)[32], bool encrypt, const uint8_t (&nonce)[12], const void* aad,
         size_t aadLength, const void* in, size_t length, void* out, uint8_t* tag) {
    EVP_CIPHER_CTX* context = Context(state);
    int n = 0;
    if (context == nullptr || EVP_CipherInit_ex(context, EVP_aes_256_gcm(), nullptr, key, nonce, encrypt) != 1) {
        return false;
    }
    if (aadLength > 0 &&
        EVP_CipherUpdate(context, nullptr, &n, static_cast<const unsigned char*>(aad), static_cast<int>(aadLength)) != 1) {
        return false;
    }
    if (length > 0 && (EVP_CipherUpdate(context, static_cast<unsigned char*>(out), &n,
                                        static_cast<const unsigned char*>(in), static_cast<int>(length)) != 1 ||
                       static_cast<size_t>(n) != length)) {
        return false;
    }
    if (!encrypt && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, 16, tag) != 1) return false;
    unsigned char end[16];
    if (EVP_CipherFinal_ex(context, end, &n) != 1) return false;
    return !encrypt || EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, 16, tag) == 1;
}

}  // namespace

bool DeriveKeyPbkdf2Sha256(const void* password, size_t passwordLength, const uint8_t* salt, size_t saltLength,
                           uint32_t iterations, uint8_t* key, size_t keyLength) {
    return PKCS5_PBKDF2_HMAC(static_cast<const char*>(password), static_cast<int>(passwordLength), salt,
                             static_cast<int>(saltLength), static_cast<int>(iterations), EVP_sha256(),
                             static_cast<int>(keyLength), key) == 1;
}

bool FillRandom(void* buffer, size_t length) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t got = getrandom(bytes, length, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got, length -= static_cast<size_t>(got);
    }
    return true;
}

GcmCipher::~GcmCipher() {
    EVP_CIPHER_CTX_free(Context(algorithm_));
    Forget();
}

void GcmCipher::Forget() {
    OPENSSL_cleanse(keyBytes_, sizeof keyBytes_);
}

bool GcmCipher::SetKey(const uint8_t (&key)[32]) {
    if (algorithm_ == nullptr) algorithm_ = EVP_CIPHER_CTX_new();
    for (size_t i = 0; i < sizeof keyBytes_; ++i) keyBytes_[i] = key[i];
    return algorithm_ != nullptr;
}

bool GcmCipher::Seal(const uint8_t (&nonce)[12], const void* aad, size_t aadLength, const void* in, size_t length,
                     void* out, uint8_t (&tag)[16]) {
    return Run(algorithm_, keyBytes_, true, nonce, aad, aadLength, in, length, out, tag);
}

bool GcmCipher::Open(const uint8_t (&nonce)[12], const void* aad, size_t aadLength, const void* in, size_t length,
                     void* out, const uint8_t (&tag)[16]) {
    return Run(algorithm_, keyBytes_, false, nonce, aad, aadLength, in, length, out, const_cast<uint8_t*>(tag));
}
