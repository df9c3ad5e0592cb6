// Small helpers on text that every layer and program uses.
#pragma once

#include <string>

namespace ZipSync {

// Whether text begins with prefix (every text begins with the empty one).
bool StartsWith(const std::string& text, const std::string& prefix);
// Whether text ends with suffix (every text ends with the empty one).
bool EndsWith(const std::string& text, const std::string& suffix);

} // namespace ZipSync
