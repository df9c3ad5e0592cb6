// Zip analysis of arbitrary bytes: a file that is not an archive of the supported kind fails
// with an input error; one that is analyses into entries whose byte ranges lie inside the file.
#include "FuzzSupport.h"

#include "zip/ZipAnalysis.h"

using namespace ZipSync;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SilenceLogging();
    std::string path = WriteScratchFile("input.zip", data, size);
    std::string root = path.substr(0, path.rfind('/'));
    Manifest manifest;
    if (!ExpectingInputErrors([&] { manifest = AnalyzeZips(root, {path}, false, 1); })) return 0;
    for (const FileMetainfo& file : manifest) {
        FuzzCheck(file.byterange[0] < file.byterange[1]);
        FuzzCheck(file.byterange[1] <= size);
        FuzzCheck(file.byterange[1] - file.byterange[0] >= file.compressedSize);
    }
    return 0;
}
