#include "zip/IniFile.h"

#include "base/Logging.h"
#include "base/Utils.h"
#include "zip/ChecksummedZip.h"

namespace ZipSync {

static const char* const kIniPayloadName = "data.ini";

static int ResolveFormat(const std::string& path, int format) {
    if (format == INI_FORMAT_BY_NAME)
        format = (!path.empty() && path.back() == 'z') ? INI_FORMAT_CHECKSUMMED_ZIP : INI_FORMAT_PLAIN;
    ZipSyncAssert(format == INI_FORMAT_PLAIN || format == INI_FORMAT_CHECKSUMMED_ZIP);
    return format;
}

IniData ReadIniFile(const std::string& path, int format, uint64_t maxSize) {
    format = ResolveFormat(path, format);
    if (format == INI_FORMAT_CHECKSUMMED_ZIP) {
        std::vector<uint8_t> bytes = ReadChecksummedZip(path, kIniPayloadName, maxSize);
        return ParseIniText(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    return ParseIniText(ReadWholeTextFile(path, maxSize));
}

void WriteIniFile(const std::string& path, const IniData& data, int format) {
    if (path.empty()) g_logger->errorf(lcGeneral, "Path to write INI file is empty");
    std::string text = FormatIniText(data);
    format = ResolveFormat(path, format);
    if (format == INI_FORMAT_CHECKSUMMED_ZIP) {
        WriteChecksummedZip(path, text.data(), text.size(), kIniPayloadName);
        return;
    }
    StdioFileHolder file(path, "wb");
    size_t written = fwrite(text.data(), 1, text.size(), file);
    // A full disk must not pass for a saved file: state and configuration depend on it.
    if (file.reset() != 0 || written != text.size())
        g_logger->errorf(lcGeneral, "Failed to write file \"%s\"", path.c_str());
}

} // namespace ZipSync
