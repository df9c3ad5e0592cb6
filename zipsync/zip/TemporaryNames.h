// The names of the engine's temporary files.
//
// Every intermediate file of a download, repack or normalization lies next to its final place
// and carries one of four name prefixes: "__download" (entries fetched by DownloadRemoteFiles,
// numbered: "__download<N>__X"), "__repacked__" (a rebuilt zip waiting to replace its original
// X), "__reduced__" (the entries of a removed zip that exist nowhere else) and "__normalized__"
// (NormalizeZip's output before it replaces its archive). These constants are the one spelling
// of the prefixes; whoever walks an install tree tells temporary files apart with
// IsTemporaryFileName (CleanupTemporaryFiles in TemporaryFiles.h repairs or removes them).
#pragma once

#include <string>

namespace ZipSync {

extern const char* const kDownloadPrefix;
extern const char* const kRepackedPrefix;
extern const char* const kReducedPrefix;
extern const char* const kNormalizedPrefix;

// Whether fileName (the part of a path after its last '/') begins with one of the four
// prefixes and has at least one more character: a file named exactly like a prefix is no
// temporary file.
bool IsTemporaryFileName(const std::string& fileName);

// Whether fileName begins with prefix and has at least one more character.
bool HasTemporaryPrefix(const std::string& fileName, const char* prefix);

} // namespace ZipSync
