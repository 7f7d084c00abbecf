#include "setup/trailer.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

namespace {

using Bytes = std::string;

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(const Bytes& bytes) : bytes_(bytes) {}
    uint32_t ReadAt(int64_t offset, void* buffer, uint32_t count) override {
        if (offset < 0 || offset > static_cast<int64_t>(bytes_.size())) return 0;
        uint64_t available = bytes_.size() - static_cast<uint64_t>(offset);
        uint32_t n = available < count ? static_cast<uint32_t>(available) : count;
        memcpy(buffer, bytes_.data() + offset, n);
        ++reads;
        return n;
    }
    int reads = 0;

private:
    const Bytes& bytes_;
};

Bytes Trailer(int64_t offset, int32_t mode, const char* magic = "VRSFX001") {
    uint8_t raw[kTrailerSize];
    EncodeTrailer(offset, mode, raw);
    memcpy(raw + 12, magic, 8);
    return Bytes(reinterpret_cast<char*>(raw), sizeof raw);
}

TrailerResult Locate(const Bytes& file, TrailerInfo& info) {
    MemorySource source(file);
    return LocateTrailer(source, static_cast<int64_t>(file.size()), info);
}

TEST(Trailer, UnsignedFileShapes) {
    const Bytes image(1000, 'i');
    const Bytes payload(300, 'p');
    struct Row {
        const char* what;
        Bytes file;
        TrailerResult expected;
        bool magicMatched;
    } rows[] = {
        {"nothing appended", image, TrailerResult::Missing, false},
        {"shorter than a trailer", Bytes("VRSFX001", 8), TrailerResult::Missing, false},
        {"empty file", Bytes(), TrailerResult::Missing, false},
        {"wrong magic", image + payload + Trailer(1000, 0, "VRSFX002"), TrailerResult::Missing, false},
        {"magic in lower case", image + payload + Trailer(1000, 0, "vrsfx001"), TrailerResult::Missing, false},
        {"offset 0 with a positive size", image + payload + Trailer(0, 0), TrailerResult::BadPayload, true},
        {"offset = size - 20 (empty payload)", image + Trailer(1000, 0), TrailerResult::BadPayload, true},
        {"offset past the trailer", image + payload + Trailer(1301, 0), TrailerResult::BadPayload, true},
        {"offset far past the end", image + payload + Trailer(INT64_MAX, 0), TrailerResult::BadPayload, true},
        {"negative offset passes the checks", image + payload + Trailer(-5, 0), TrailerResult::Valid, true},
        {"valid", image + payload + Trailer(1000, 0), TrailerResult::Valid, true},
        {"just a trailer, offset 0", Trailer(0, 0), TrailerResult::BadPayload, true},
    };
    for (const Row& row : rows) {
        TrailerInfo info;
        EXPECT_EQ(Locate(row.file, info), row.expected) << row.what;
        EXPECT_EQ(info.magicMatched, row.magicMatched) << row.what;
        EXPECT_FALSE(info.signedFile) << row.what;
    }
}

TEST(Trailer, FieldsOfAValidTrailer) {
    const Bytes file = Bytes(1000, 'i') + Bytes(65537, 'p') + Trailer(1000, 2);
    TrailerInfo info;
    ASSERT_EQ(Locate(file, info), TrailerResult::Valid);
    EXPECT_EQ(info.payloadOffset, 1000);
    EXPECT_EQ(info.payloadSize, 65537);
    EXPECT_EQ(info.end, static_cast<int64_t>(file.size()));
    EXPECT_EQ(info.mode, 2);

    // A negative offset gives a positive size; the copy must then refuse to seek.
    ASSERT_EQ(Locate(Bytes(10, 'i') + Trailer(-5, 0), info), TrailerResult::Valid);
    EXPECT_EQ(info.payloadSize, 15);
}

TEST(Trailer, ModeIsKeptOnceTheMagicMatches) {
    for (int32_t mode : {0, 1, 2, 3, -1}) {
        TrailerInfo info;
        EXPECT_EQ(Locate(Bytes(50, 'i') + Bytes(5, 'p') + Trailer(50, mode), info), TrailerResult::Valid);
        EXPECT_EQ(info.mode, mode);
        // Even when the offset is then refused.
        EXPECT_EQ(Locate(Bytes(50, 'i') + Trailer(0, mode), info), TrailerResult::BadPayload);
        EXPECT_EQ(info.mode, mode);
    }
}

TEST(Trailer, CheckTrailerAlone) {
    const Bytes t = Trailer(100, 3);
    TrailerInfo info;
    const auto* raw = reinterpret_cast<const uint8_t*>(t.data());
    EXPECT_EQ(CheckTrailer(raw, 19, 500, info), TrailerResult::Missing);  // a short read
    EXPECT_EQ(CheckTrailer(raw, 20, 500, info), TrailerResult::Valid);
    EXPECT_EQ(info.payloadSize, 380);
    EXPECT_EQ(CheckTrailer(raw, 20, 120, info), TrailerResult::BadPayload);
}

// A minimal PE32+ image whose security directory names [tableStart, +tableSize).
Bytes PeImage(size_t size, uint32_t tableStart, uint32_t tableSize, uint16_t magic = 0x20B) {
    Bytes image(size, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    const uint32_t pe = 0x80;
    memcpy(&image[0x3C], &pe, 4);
    memcpy(&image[pe], "PE\0\0", 4);
    const uint16_t optionalSize = 240;
    memcpy(&image[pe + 4 + 16], &optionalSize, 2);
    memcpy(&image[pe + 24], &magic, 2);
    const uint32_t rvaCount = 16;
    memcpy(&image[pe + 24 + 108], &rvaCount, 4);
    memcpy(&image[pe + 24 + 144], &tableStart, 4);
    memcpy(&image[pe + 24 + 148], &tableSize, 4);
    return image;
}

// The program, payload and trailer, then padding and a certificate table.
Bytes SignedFile(size_t padding, const char* magic = "VRSFX001", uint32_t tableSizeDelta = 0,
                 uint32_t tableStartOverride = 0) {
    const size_t imageSize = 4096, payloadSize = 700, tableSize = 1200;
    const uint32_t tableStart = static_cast<uint32_t>(imageSize + payloadSize + kTrailerSize + padding);
    Bytes file = PeImage(imageSize, tableStartOverride ? tableStartOverride : tableStart,
                         static_cast<uint32_t>(tableSize + tableSizeDelta));
    file += Bytes(payloadSize, 'p') + Trailer(imageSize, 2, magic) + Bytes(padding, '\0');
    file += Bytes(tableSize, 'c');
    return file;
}

TEST(SignedTrailer, FoundBeforeTheCertificateTable) {
    for (size_t padding : {0, 3, 7}) {
        TrailerInfo info;
        const Bytes file = SignedFile(padding);
        ASSERT_EQ(Locate(file, info), TrailerResult::Valid) << padding;
        EXPECT_TRUE(info.signedFile);
        EXPECT_EQ(info.payloadOffset, 4096);
        EXPECT_EQ(info.payloadSize, 700) << "the table and padding are not payload";
        EXPECT_EQ(info.end, 4096 + 700 + 20);
        EXPECT_EQ(info.mode, 2);
    }
}

TEST(SignedTrailer, NotTakenWhenTheShapeIsWrong) {
    struct Row {
        const char* what;
        Bytes file;
        TrailerResult expected;
    } rows[] = {
        {"eight padding bytes", SignedFile(8), TrailerResult::Missing},
        {"table ends before the end of the file", SignedFile(0, "VRSFX001", static_cast<uint32_t>(-1)),
         TrailerResult::Missing},
        {"table runs past the end of the file", SignedFile(0, "VRSFX001", 1), TrailerResult::Missing},
        {"directory points outside the file", SignedFile(0, "VRSFX001", 0, 0x7fffff00), TrailerResult::Missing},
        {"wrong magic before the table", SignedFile(4, "VRSFX00X"), TrailerResult::Missing},
        {"not a PE image", Bytes(5000, 'x'), TrailerResult::Missing},
        {"PE32 rather than PE32+", PeImage(4096, 4000, 96, 0x10B), TrailerResult::Missing},
    };
    for (const Row& row : rows) {
        TrailerInfo info;
        EXPECT_EQ(Locate(row.file, info), row.expected) << row.what;
    }

    // Padding must be zero bytes.
    Bytes dirty = SignedFile(3);
    dirty[4096 + 700 + 20 + 1] = 'x';
    TrailerInfo info;
    EXPECT_EQ(Locate(dirty, info), TrailerResult::Missing);
}

TEST(SignedTrailer, ReadsOnlyWhatItNeeds) {
    const Bytes unsignedFile = Bytes(1000, 'i') + Bytes(10, 'p') + Trailer(1000, 0);
    MemorySource source(unsignedFile);
    TrailerInfo info;
    EXPECT_EQ(LocateTrailer(source, static_cast<int64_t>(unsignedFile.size()), info), TrailerResult::Valid);
    EXPECT_EQ(source.reads, 1) << "an unsigned file needs only its last 20 bytes";
}

}  // namespace
