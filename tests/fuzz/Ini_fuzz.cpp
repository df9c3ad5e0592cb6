// INI text parser: any bytes either parse or fail with "Cannot parse ini line"; what parses
// comes back unchanged from its own formatted text.
#include "FuzzSupport.h"

#include "Ini.h"

using namespace ZipSync;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SilenceLogging();
    IniData parsed;
    if (!ExpectingInputErrors([&] { parsed = ParseIniText(reinterpret_cast<const char*>(data), size); }))
        return 0;
    FuzzCheck(ParseIniText(FormatIniText(parsed)) == parsed);
    return 0;
}
