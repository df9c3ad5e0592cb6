// INI files on disk: the one reader and the one writer of every configuration, state and
// manifest file. A path whose last character is 'z' (as "manifest.iniz") holds the text as the
// entry "data.ini" of a checksummed zip (ChecksummedZip.h); any other path is plain text. The
// text itself is base/Ini.h's.
#pragma once

#include "base/Ini.h"
#include "base/Utils.h"

#include <stdint.h>
#include <string>

namespace ZipSync {

// Format selector of ReadIniFile and WriteIniFile.
static const int INI_FORMAT_BY_NAME = 0;         // checksummed zip if the path ends in 'z'
static const int INI_FORMAT_PLAIN = 1;           // plain text file
static const int INI_FORMAT_CHECKSUMMED_ZIP = 2; // "data.ini" inside a checksummed zip

// Reads and parses; "Failed to open file \"%s\"" (lcCantOpenFile) when it cannot be opened,
// and the parser's errors (ParseIniText). The text may hold at most maxSize bytes: a longer
// plain file fails as ReadWholeTextFile's does, a checksummed zip whose text declares more as
// ReadChecksummedZip's, both naming the file and the limit before the text is read whole.
IniData ReadIniFile(const std::string& path, int format = INI_FORMAT_BY_NAME,
                    uint64_t maxSize = MAX_MANIFEST_SIZE);
// Formats and writes, replacing the file. An empty path fails with
// "Path to write INI file is empty".
void WriteIniFile(const std::string& path, const IniData& data, int format = INI_FORMAT_BY_NAME);

} // namespace ZipSync
