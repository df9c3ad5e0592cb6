// The INI text model shared by every configuration, state and manifest file.
//
// IniData is an ordered list of sections, each a name with an ordered list of key/value pairs;
// duplicates of either are kept in file order. ParseIniText and FormatIniText are the one
// parser and the one formatter; the files on disk are read and written by zip/IniFile.h.
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

// Parses INI text; "Cannot parse ini line: %s (line %d)" (lcGeneral) on a line that is neither
// header nor pair, with an excerpt of the trimmed line (ExcerptForMessage, 80 characters) and
// its number from 1.
IniData ParseIniText(const char* text, size_t size);
IniData ParseIniText(const std::string& text);
// "[name]\n", then "key=value\n" per pair, then "\n", for every section in order. A name, key
// or value containing a line break ('\n' or '\r') is an assertion failure: nothing escapes it.
std::string FormatIniText(const IniData& data);

} // namespace ZipSync
