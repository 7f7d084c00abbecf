#include "sealed_container.h"

#include <string.h>

#include <algorithm>
#include <iostream>

#include "failure.h"
#include "platform.h"

namespace {

constexpr char kDamaged[] = "the sealed payload";

void DeriveKey(const std::string& password, const SealHeader& header, GcmCipher& cipher) {
    uint8_t key[kSealKeySize];
    const bool derived = DeriveKeyPbkdf2Sha256(password.data(), password.size(), header.salt, sizeof header.salt,
                                               header.iterations, key, sizeof key);
    const bool keyed = derived && cipher.SetKey(key);
    volatile uint8_t* wipe = key;
    for (size_t i = 0; i < sizeof key; ++i) wipe[i] = 0;
    if (!keyed) throw Failure(kExitFailed, "the system's cryptography failed to derive the key");
}

}  // namespace

void Wipe(std::string& secret) {
    volatile char* bytes = secret.empty() ? nullptr : &secret[0];
    for (size_t i = 0; i < secret.size(); ++i) bytes[i] = 0;
    secret.clear();
}

SealingSink::SealingSink(ByteSink& out, const std::string& password, uint32_t iterations) : out_(out) {
    SealHeader header;
    header.iterations = iterations;
    if (!FillRandom(header.salt, sizeof header.salt)) {
        throw Failure(kExitFailed, "the system's random source failed");
    }
    DeriveKey(password, header, cipher_);
    uint8_t bytes[kSealHeaderSize], nonce[kSealNonceSize], tag[kSealTagSize];
    EncodeSealHeader(header, bytes);
    SealNonce(0, SealNonceKind::Header, nonce);
    if (!cipher_.Seal(nonce, bytes, kSealAuthenticatedSize, nullptr, 0, nullptr, tag)) {
        throw Failure(kExitFailed, "the system's cryptography failed to seal the payload");
    }
    memcpy(bytes + kSealAuthenticatedSize, tag, sizeof tag);
    out_.Write(bytes, sizeof bytes);
    chunk_.reserve(kSealedChunkSize);
}

void SealingSink::Write(const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    written_ += length;
    while (length > 0) {
        // A full chunk waits for the next byte: only then is it known not to be the last.
        if (chunk_.size() == kSealChunkData) SealChunk(false);
        const size_t take = std::min<size_t>(length, kSealChunkData - chunk_.size());
        chunk_.insert(chunk_.end(), bytes, bytes + take);
        bytes += take, length -= take;
    }
}

void SealingSink::Finish() {
    SealChunk(true);
}

void SealingSink::SealChunk(bool last) {
    uint8_t nonce[kSealNonceSize], tag[kSealTagSize];
    SealNonce(index_++, last ? SealNonceKind::LastChunk : SealNonceKind::Chunk, nonce);
    const size_t length = chunk_.size();
    if (!cipher_.Seal(nonce, nullptr, 0, chunk_.data(), length, chunk_.data(), tag)) {
        throw Failure(kExitFailed, "the system's cryptography failed to seal the payload");
    }
    chunk_.insert(chunk_.end(), tag, tag + sizeof tag);
    out_.Write(chunk_.data(), chunk_.size());
    chunk_.clear();
}

bool ReadSealHeader(const RawReadFn& read, int64_t size, SealHeader& header) {
    uint8_t bytes[kSealHeaderSize] = {};
    const int64_t got = read(0, bytes, sizeof bytes);
    if (got < static_cast<int64_t>(sizeof kSealMagic) || !HasSealMagic(bytes, sizeof bytes)) return false;
    bool last = false;
    if (got != sizeof bytes || !ParseSealHeader(bytes, header) || SealedChunkAt(size, 0, last) == 0) {
        throw Failure(kExitFailed, std::string(kDamaged) + "'s header is not one this version reads");
    }
    return true;
}

SealedReader::SealedReader(RawReadFn read, int64_t size, const std::string& password)
    : read_(std::move(read)), size_(size) {
    SealHeader header;
    if (!ReadSealHeader(read_, size_, header)) throw Failure(kExitFailed, std::string(kDamaged) + " has no header");
    DeriveKey(password, header, cipher_);
    uint8_t bytes[kSealHeaderSize], nonce[kSealNonceSize], tag[kSealTagSize];
    read_(0, bytes, sizeof bytes);
    memcpy(tag, bytes + kSealAuthenticatedSize, sizeof tag);
    SealNonce(0, SealNonceKind::Header, nonce);
    if (!cipher_.Open(nonce, bytes, kSealAuthenticatedSize, nullptr, 0, nullptr, tag)) {
        throw Failure(kExitFailed, kWrongPassword);
    }
    const uint64_t body = static_cast<uint64_t>(size_) - kSealHeaderSize;
    plainSize_ = static_cast<int64_t>(body - (body + kSealedChunkSize - 1) / kSealedChunkSize * kSealTagSize);
    chunk_.resize(kSealedChunkSize);
}

void SealedReader::Load(uint64_t index) {
    if (index == index_) return;
    index_ = UINT64_MAX;
    bool last = false;
    const uint32_t sealed = SealedChunkAt(size_, index, last);
    const int64_t at = kSealHeaderSize + static_cast<int64_t>(index * kSealedChunkSize);
    uint8_t nonce[kSealNonceSize], tag[kSealTagSize];
    SealNonce(index, last ? SealNonceKind::LastChunk : SealNonceKind::Chunk, nonce);
    const uint32_t length = sealed - kSealTagSize;
    if (sealed == 0 || read_(at, chunk_.data(), sealed) != sealed) {
        throw Failure(kExitFailed, std::string(kDamaged) + " cannot be read at chunk " + std::to_string(index));
    }
    memcpy(tag, chunk_.data() + length, sizeof tag);
    if (!cipher_.Open(nonce, nullptr, 0, chunk_.data(), length, chunk_.data(), tag)) {
        throw Failure(kExitFailed, std::string(kDamaged) + " fails its check at chunk " + std::to_string(index));
    }
    index_ = index;
}

int64_t SealedReader::ReadAt(int64_t offset, void* buffer, size_t length) {
    if (offset < 0) return -1;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length && offset < plainSize_) {
        const uint64_t index = static_cast<uint64_t>(offset) / kSealChunkData;
        const size_t within = static_cast<size_t>(offset) % kSealChunkData;
        Load(index);
        bool last = false;
        const size_t chunkLength = SealedChunkAt(size_, index, last) - kSealTagSize;
        const size_t take = std::min(length - done, chunkLength - within);
        memcpy(out + done, chunk_.data() + within, take);
        done += take, offset += static_cast<int64_t>(take);
    }
    return static_cast<int64_t>(done);
}

std::string ReadPassword(bool fromStdin, bool confirm) {
    std::string password, again;
    if (fromStdin) {
        std::getline(std::cin, password);
        // The line break, if any, is not part of it: drop one "\r\n" or "\n".
        if (!std::cin.eof() && !password.empty() && password.back() == '\r') password.pop_back();
    } else if (!platform::ReadHiddenLine("Password: ", password) ||
               (confirm && !platform::ReadHiddenLine("The same password again: ", again))) {
        Refuse("there is no console to ask for the password on; pass it with --password-stdin");
    }
    const bool differ = confirm && !fromStdin && again != password;
    Wipe(again);
    if (differ) Wipe(password), Refuse("the two passwords differ; nothing was written");
    const size_t codePoints = std::count_if(password.begin(), password.end(), [](char c) { return (c & 0xC0) != 0x80; });
    if (confirm && codePoints < 8) {
        Wipe(password);
        Refuse("the password has fewer than 8 characters; choose a longer one");
    }
    return password;
}
