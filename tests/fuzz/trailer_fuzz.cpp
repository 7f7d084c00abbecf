// The trailer search the setup program runs on its own file. A payload it
// finds must lie inside the file, before any certificate table.
#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "fuzz_support.h"
#include "setup_file.h"
#include "setup/trailer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    MemoryByteSource source(bytes);
    const int64_t fileSize = static_cast<int64_t>(size);
    TrailerInfo info;
    const TrailerResult result = LocateTrailer(source, fileSize, info);
    Require(info.magicMatched == (result != TrailerResult::Missing), "magic flag disagrees with the result");
    if (result != TrailerResult::Valid) return 0;

    Require(info.payloadSize > 0, "empty payload accepted");
    Require(info.end <= fileSize, "trailer ends past the file");
    Require(info.payloadOffset + info.payloadSize + kTrailerSize == info.end, "payload and trailer do not meet");
    // A negative offset passes the trailer checks on purpose: the setup
    // program's seek to it fails and it reports a copy failure; inspect
    // refuses it. Every other accepted offset is inside the file.
    Require(info.payloadOffset != 0, "offset 0 accepted");
    // A trailer in the last 20 bytes is taken as it stands, as the setup
    // program reads it first; the table search must stop before the table.
    const int64_t table = FindCertificateTable(source, fileSize);
    if (info.signedFile) Require(table >= 0 && info.end <= table, "trailer found inside the certificate table");
    return 0;
}
