// INI text parser: any bytes either parse or fail with "Cannot parse ini line"; what parses
// comes back unchanged from its own formatted text. The writer refuses a carriage return inside
// a name, key or value (it would end the line for other readers) while the reader keeps one
// there; such data is left out of the round trip.
#include "FuzzSupport.h"

#include "base/Ini.h"

using namespace ZipSync;

static bool Writable(const IniData& data) {
    for (const auto& section : data) {
        if (section.first.find('\r') != std::string::npos) return false;
        for (const IniPair& pair : section.second)
            if ((pair.first + pair.second).find('\r') != std::string::npos) return false;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SilenceLogging();
    IniData parsed;
    if (!ExpectingInputErrors([&] { parsed = ParseIniText(reinterpret_cast<const char*>(data), size); }))
        return 0;
    if (Writable(parsed)) FuzzCheck(ParseIniText(FormatIniText(parsed)) == parsed);
    return 0;
}
