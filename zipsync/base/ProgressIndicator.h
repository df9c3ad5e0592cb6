// How long operations report progress and learn that the user wants to stop.
//
// Engine operations take a ProgressCallback (ratio 0..1 and a text); an empty callback
// reports nothing, and a nonzero answer makes the operation raise "Interrupted by user"
// (lcUserInterrupt). Downloads can also report a TransferProgress: bytes done of the total,
// speed and time left. ProgressIndicator is the application's side of both.
#pragma once

#include <functional>
#include <stdint.h>
#include <string>

namespace ZipSync {

// Where a download stands, for a display that shows more than a bar.
struct TransferProgress {
    // As the ProgressCallback's ratio and comment.
    double ratio = 0.0;
    std::string comment;
    // Bytes of the requested ranges that have arrived, and of all of them (ranges that run to
    // the end of their file count once their size is known).
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;
    // Over the last few seconds, all transfers together; 0 until measured.
    double bytesPerSecond = 0.0;
    // At that speed; negative while unknown.
    double secondsLeft = -1.0;
};

using TransferProgressCallback = std::function<int(const TransferProgress& progress)>;

class ProgressIndicator {
public:
    virtual ~ProgressIndicator() = default;
    // Returns nonzero when the user asked to stop. The engine passes subRatio = -1.0 and
    // an empty subComment.
    virtual int Update(double ratio, std::string comment, double subRatio = -1.0,
                       std::string subComment = "") = 0;
    // A download's progress; by default only its ratio and comment go to Update.
    virtual int UpdateTransfer(const TransferProgress& progress);
};

using ProgressCallback = std::function<int(double ratio, const char* comment)>;

// The returned callback forwards to indicator->Update(ratio, comment, -1.0, ""); for a null
// indicator it is empty (nothing reported). The caller keeps the indicator alive while the
// callback is in use.
ProgressCallback MakeProgressCallback(ProgressIndicator* indicator);
// The same for indicator->UpdateTransfer (empty for no indicator).
TransferProgressCallback MakeTransferProgressCallback(ProgressIndicator* indicator);

// "12.3 MB of 45.6 MB, 2.10 MB/s, 17 s left": the parts that are known (sizes in decimal
// units, time left as "17 s", "2:05" or "1:02:05").
std::string FormatTransferProgress(const TransferProgress& progress);

} // namespace ZipSync
