// Checksummed-zip reader on arbitrary bytes: a file that is not a checksummed zip whose payload
// matches its digest fails with an input error; one that reads back gives a payload whose
// digest is the stored one.
#include "FuzzSupport.h"

#include "zip/ChecksummedZip.h"

using namespace ZipSync;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SilenceLogging();
    std::string path = WriteScratchFile("input.iniz", data, size);
    HashDigest stored;
    std::vector<uint8_t> payload;
    if (!ExpectingInputErrors([&] {
            stored = ReadChecksummedZipHash(path);
            payload = ReadChecksummedZip(path, "data.ini");
        }))
        return 0;
    Hasher hasher;
    hasher.Update(payload.data(), payload.size());
    FuzzCheck(hasher.Finalize() == stored);
    return 0;
}
