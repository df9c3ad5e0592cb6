// The INI text model shared by every configuration, state and manifest file.
//
// IniData is an ordered list of sections, each a name with an ordered list of key/value pairs;
// duplicates of either are kept in file order. ReadIniFile and WriteIniFile are the one reader
// and the one writer. A path whose last character is 'z' (as "manifest.iniz") holds the text as
// the entry "data.ini" of a checksummed zip; any other path is plain text.
//
// Syntax: lines split at '\n' and trimmed of " \n\r\t\f\v"; empty lines and lines starting with
// '#' are skipped; "[name]" starts a section; any other line is key=value, split at the first
// '='. Pairs before the first header, or under a header with an empty name, are dropped.
// Nothing is escaped.
#pragma once

#include <stddef.h>
#include <string>
#include <utility>
#include <vector>

namespace ZipSync {

typedef std::pair<std::string, std::string> IniPair;
typedef std::vector<IniPair> IniSect;
typedef std::vector<std::pair<std::string, IniSect>> IniData;

// Format selector of ReadIniFile and WriteIniFile.
static const int INI_FORMAT_BY_NAME = 0;         // checksummed zip if the path ends in 'z'
static const int INI_FORMAT_PLAIN = 1;           // plain text file
static const int INI_FORMAT_CHECKSUMMED_ZIP = 2; // "data.ini" inside a checksummed zip

// Reads and parses; "Failed to open file \"%s\"" (lcCantOpenFile) when it cannot be opened,
// "Cannot parse ini line: %s (line %d)" (lcGeneral) on a line that is neither header nor pair,
// with an excerpt of the trimmed line (ExcerptForMessage, 80 characters) and its number from 1.
IniData ReadIniFile(const std::string& path, int format = INI_FORMAT_BY_NAME);
// Formats and writes, replacing the file. An empty path fails with
// "Path to write INI file is empty".
void WriteIniFile(const std::string& path, const IniData& data, int format = INI_FORMAT_BY_NAME);

// The text parser and formatter underneath the two above.
IniData ParseIniText(const char* text, size_t size);
IniData ParseIniText(const std::string& text);
// "[name]\n", then "key=value\n" per pair, then "\n", for every section in order. A name, key
// or value containing a line break ('\n' or '\r') is an assertion failure: nothing escapes it.
std::string FormatIniText(const IniData& data);

} // namespace ZipSync
