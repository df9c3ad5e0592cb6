// How long operations report progress and learn that the user wants to stop.
//
// Engine operations take a ProgressCallback (ratio 0..1 and a text); an empty callback
// reports nothing, and a nonzero answer makes the operation raise "Interrupted by user"
// (lcUserInterrupt). ProgressIndicator is the application's side of it.
#pragma once

#include <functional>
#include <string>

namespace ZipSync {

class ProgressIndicator {
public:
    virtual ~ProgressIndicator() = default;
    // Returns nonzero when the user asked to stop. The engine passes subRatio = -1.0 and
    // an empty subComment.
    virtual int Update(double ratio, std::string comment, double subRatio = -1.0,
                       std::string subComment = "") = 0;
};

using ProgressCallback = std::function<int(double ratio, const char* comment)>;

// The returned callback forwards to indicator->Update(ratio, comment, -1.0, ""); for a null
// indicator it is empty (nothing reported). The caller keeps the indicator alive while the
// callback is in use.
ProgressCallback MakeProgressCallback(ProgressIndicator* indicator);

} // namespace ZipSync
