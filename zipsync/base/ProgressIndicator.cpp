#include "base/ProgressIndicator.h"

#include "base/Logging.h"
#include "base/SizeText.h"

namespace ZipSync {

int ProgressIndicator::UpdateTransfer(const TransferProgress& progress) {
    return Update(progress.ratio, progress.comment, -1.0, std::string());
}

ProgressCallback MakeProgressCallback(ProgressIndicator* indicator) {
    if (!indicator) return ProgressCallback();
    return [indicator](double ratio, const char* comment) -> int {
        return indicator->Update(ratio, std::string(comment ? comment : ""), -1.0, std::string());
    };
}

TransferProgressCallback MakeTransferProgressCallback(ProgressIndicator* indicator) {
    if (!indicator) return TransferProgressCallback();
    return
        [indicator](const TransferProgress& progress) -> int { return indicator->UpdateTransfer(progress); };
}

static std::string FormatDuration(double seconds) {
    unsigned total = unsigned(seconds + 0.5);
    if (total < 60) return FormatString("%u s", total);
    if (total < 3600) return FormatString("%u:%02u", total / 60, total % 60);
    return FormatString("%u:%02u:%02u", total / 3600, total / 60 % 60, total % 60);
}

std::string FormatTransferProgress(const TransferProgress& progress) {
    std::string text = FormatSize(progress.bytesDone);
    if (progress.bytesTotal > 0) text += " of " + FormatSize(progress.bytesTotal);
    if (progress.bytesPerSecond > 0) text += ", " + FormatSize(uint64_t(progress.bytesPerSecond)) + "/s";
    // Days of waiting say nothing more than "a long time"; such an estimate is left out.
    if (progress.secondsLeft >= 0 && progress.secondsLeft < 100 * 3600)
        text += ", " + FormatDuration(progress.secondsLeft) + " left";
    return text;
}

} // namespace ZipSync
