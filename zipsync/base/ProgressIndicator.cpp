#include "base/ProgressIndicator.h"

namespace ZipSync {

ProgressCallback MakeProgressCallback(ProgressIndicator* indicator) {
    if (!indicator) return ProgressCallback();
    return [indicator](double ratio, const char* comment) -> int {
        return indicator->Update(ratio, std::string(comment ? comment : ""), -1.0, std::string());
    };
}

} // namespace ZipSync
