#include "ChecksummedZip.h"

#include "Logging.h"

namespace ZipSync {

// The zip-level implementation lands together with the zip utilities; until then every
// operation fails loudly instead of pretending to work.
static void NotAvailable(const char* operation, const std::string& path) {
    g_logger->errorf(lcGeneral, "%s is not available yet (%s)", operation, path.c_str());
}

void WriteChecksummedZip(const std::string& path, const void* data, size_t size,
                         const std::string& payloadName) {
    NotAvailable("WriteChecksummedZip", path);
}

HashDigest ReadChecksummedZipHash(const std::string& path) {
    NotAvailable("ReadChecksummedZipHash", path);
    return HashDigest();
}

std::vector<uint8_t> ReadChecksummedZip(const std::string& path, const std::string& payloadName) {
    NotAvailable("ReadChecksummedZip", path);
    return {};
}

} // namespace ZipSync
