#include "base/SizeText.h"

#include "base/Logging.h"

#include <errno.h>
#include <stdlib.h>

namespace ZipSync {

std::string FormatSize(uint64_t bytes) {
    if (bytes < 1000) return FormatString("%u B", (unsigned)bytes);
    static const char* const units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = (double)bytes / 1000.0;
    int unit = 0;
    // Rounding to three digits may carry into the next unit (999.6 kB is shown as 1.00 MB).
    while (value >= 999.5 && unit < 5) {
        value /= 1000.0;
        unit++;
    }
    const char* format = value >= 99.95 ? "%.0f %s" : value >= 9.995 ? "%.1f %s" : "%.2f %s";
    return FormatString(format, value, units[unit]);
}

std::string FormatSignedSize(int64_t bytes) {
    if (bytes >= 0) return FormatSize((uint64_t)bytes);
    return "-" + FormatSize(0 - (uint64_t)bytes);
}

std::optional<uint64_t> ParseByteCount(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text.c_str(), &end, 10);
    int shift = 0;
    if (*end) {
        char unit = *end++;
        shift = unit == 'k' || unit == 'K'   ? 10
                : unit == 'm' || unit == 'M' ? 20
                : unit == 'g' || unit == 'G' ? 30
                                             : -1;
    }
    if (errno != 0 || shift < 0 || *end != 0 || value > (UINT64_MAX >> shift)) return std::nullopt;
    return uint64_t(value) << shift;
}

} // namespace ZipSync
