// Published known-answer vectors, run against each build's cryptography: CNG
// under Wine (the setup program's and the Windows packer's), libcrypto on Linux.
#include <gtest/gtest.h>

#include <string>

#include "setup/crypto.h"

namespace {

std::string Hex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

const std::string kGcmKey16 = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";

TEST(CryptoVectors, Pbkdf2HmacSha256FromRfc7914) {
    const struct { const char *password, *salt; uint32_t iterations; const char* key; } rows[] = {
        {"passwd", "salt", 1, "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
        {"Password", "NaCl", 80000, "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
                                    "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    };
    for (const auto& row : rows) {
        std::string key(64, '\0');
        ASSERT_TRUE(DeriveKeyPbkdf2Sha256(row.password, strlen(row.password), reinterpret_cast<const uint8_t*>(row.salt),
                                          strlen(row.salt), row.iterations, reinterpret_cast<uint8_t*>(&key[0]), 64));
        EXPECT_EQ(key, Hex(row.key)) << row.password;
    }
}

// The GCM paper's AES-256 cases with a 96-bit nonce (13, 14, 16), as NIST publishes them.
TEST(CryptoVectors, Aes256GcmSealsAndOpensAndRefusesAChangedTag) {
    const struct { std::string key, nonce, aad, plain, sealed, tag; } rows[] = {
        {std::string(64, '0'), std::string(24, '0'), "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
        {std::string(64, '0'), std::string(24, '0'), "", std::string(32, '0'), "cea7403d4d606b6e074ec5d3baf39d18",
         "d0d1c8a799996bf0265b98b5d48ab919"},
        {kGcmKey16, "cafebabefacedbaddecaf888", "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
         "76fc6ece0f4e1768cddf8853bb2d551b"},
    };
    for (const auto& row : rows) {
        uint8_t key[32], nonce[12], tag[16];
        memcpy(key, Hex(row.key).data(), 32), memcpy(nonce, Hex(row.nonce).data(), 12);
        const std::string aad = Hex(row.aad), plain = Hex(row.plain);
        std::string out = plain;
        // No data is passed as no buffer, as a header's tag is.
        const auto bytes = [](std::string& text) { return text.empty() ? nullptr : &text[0]; };
        GcmCipher cipher;
        ASSERT_TRUE(cipher.SetKey(key));
        ASSERT_TRUE(cipher.Seal(nonce, aad.data(), aad.size(), bytes(out), out.size(), bytes(out), tag)) << row.tag;
        EXPECT_EQ(out + std::string(reinterpret_cast<char*>(tag), 16), Hex(row.sealed + row.tag));
        ASSERT_TRUE(cipher.Open(nonce, aad.data(), aad.size(), bytes(out), out.size(), bytes(out), tag)) << row.tag;
        EXPECT_EQ(out, plain);
        tag[15] ^= 1;
        EXPECT_FALSE(cipher.Open(nonce, aad.data(), aad.size(), bytes(out), out.size(), bytes(out), tag)) << row.tag;
    }
}

}  // namespace
