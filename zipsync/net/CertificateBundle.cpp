#include "net/CertificateBundle.h"

#include "base/Logging.h"
#include "base/Utils.h"

#include <stdlib.h>

namespace ZipSync {

// Defined in the source generated at build time (cmake/EmbedCertificates.cmake).
extern const char kBuiltinCertificateBundle[];
extern const size_t kBuiltinCertificateBundleSize;

const char* const EXTRA_CA_FILE_VARIABLE = "QMH_EXTRA_CA_FILE";

std::string BuiltinCertificateBundle() {
    return std::string(kBuiltinCertificateBundle, kBuiltinCertificateBundleSize);
}

std::string ExtractPemCertificates(const std::string& pemText) {
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
    static const std::string kEnd = "-----END CERTIFICATE-----";
    std::string result;
    size_t pos = 0;
    while (true) {
        size_t begin = pemText.find(kBegin, pos);
        if (begin == std::string::npos) break;
        size_t end = pemText.find(kEnd, begin + kBegin.size());
        if (end == std::string::npos) break;
        end += kEnd.size();
        result.append(pemText, begin, end - begin);
        result += '\n';
        pos = end;
    }
    return result;
}

std::string AssembleCertificateBundle() {
    std::string bundle = BuiltinCertificateBundle();
    const char* extraPath = getenv(EXTRA_CA_FILE_VARIABLE);
    if (!extraPath || !*extraPath) return bundle;
    std::string extra = ExtractPemCertificates(ReadWholeTextFile(extraPath));
    if (extra.empty()) g_logger->errorf(lcGeneral, "No certificate found in file \"%s\"", extraPath);
    if (!bundle.empty() && bundle.back() != '\n') bundle += '\n';
    return bundle + extra;
}

} // namespace ZipSync
