// Manifest loader: INI text of any shape either loads or fails with an input error; a loaded
// manifest saves to text that loads into a manifest saving to the same text again.
#include "FuzzSupport.h"

#include "zip/Manifest.h"

using namespace ZipSync;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SilenceLogging();
    Manifest manifest;
    bool loaded = ExpectingInputErrors(
        [&] { manifest.LoadFromIni(ParseIniText(reinterpret_cast<const char*>(data), size), "/install"); });
    if (!loaded) return 0;
    IniData saved = manifest.SaveToIni();
    Manifest reloaded;
    reloaded.LoadFromIni(saved, "/install");
    FuzzCheck(reloaded.size() == manifest.size());
    FuzzCheck(reloaded.SaveToIni() == saved);
    return 0;
}
