// NormalizeZip of arbitrary bytes: anything that is not an archive it can rewrite fails with an
// input error and writes no output; a normalised archive is already normal
// (normalising it again gives the same bytes). minizip cannot open an archive without entries
// (its end record at offset 0 counts as not found), so an input holding only directories
// normalises into an archive that nothing reads again; that case is left out.
#include "FuzzSupport.h"

#include "zip/ZipUtils.h"

#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace ZipSync;

static std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SilenceLogging();
    std::string input = WriteScratchFile("input.zip", data, size);
    std::string once = ScratchPath("once.zip"), twice = ScratchPath("twice.zip");
    unlink(once.c_str());
    bool normalized = ExpectingInputErrors([&] { NormalizeZip(input, once); });
    if (!normalized) {
        FuzzCheck(access(once.c_str(), F_OK) != 0);
        return 0;
    }
    static const size_t kEmptyArchiveSize = 22; // the end record alone
    if (FileBytes(once).size() == kEmptyArchiveSize) return 0;
    NormalizeZip(once, twice);
    FuzzCheck(FileBytes(once) == FileBytes(twice));
    return 0;
}
