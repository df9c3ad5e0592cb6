#include "base/Ini.h"

#include "base/Logging.h"
#include "base/Utils.h"

#include <algorithm>
#include <string.h>

namespace ZipSync {

static const char* const kIniBlanks = " \n\r\t\f\v";
// How much of a line that does not parse its message shows.
static const size_t kExcerptChars = 80;
static const size_t kExcerptBytes = 4 * kExcerptChars + 1;

static bool IsIniBlank(char ch) {
    return ch != 0 && strchr(kIniBlanks, ch) != nullptr;
}

IniData ParseIniText(const char* text, size_t size) {
    IniData res;
    std::pair<std::string, IniSect> section;
    auto closeSection = [&]() {
        if (!section.first.empty()) res.push_back(std::move(section));
        section = {};
    };
    size_t pos = 0;
    int lineNumber = 0;
    while (pos < size) {
        lineNumber++;
        const char* eol = static_cast<const char*>(memchr(text + pos, '\n', size - pos));
        size_t end = eol ? size_t(eol - text) : size;
        size_t begin = pos;
        pos = end + 1;
        while (begin < end && IsIniBlank(text[begin])) begin++;
        while (end > begin && IsIniBlank(text[end - 1])) end--;
        const char* line = text + begin;
        size_t len = end - begin;
        if (len == 0 || line[0] == '#') continue;
        if (len >= 2 && line[0] == '[' && line[len - 1] == ']') {
            closeSection();
            section.first.assign(line + 1, len - 2);
            continue;
        }
        const char* eq = static_cast<const char*>(memchr(line, '=', len));
        // The text may be any bytes (a binary file, a wrong download): only an excerpt is shown.
        if (!eq)
            g_logger->errorf(
                lcGeneral, "Cannot parse ini line: %s (line %d)",
                ExcerptForMessage(std::string(line, std::min(len, kExcerptBytes)), kExcerptChars).c_str(),
                lineNumber);
        // Pairs outside a named section are dropped, so they are not even built.
        if (!section.first.empty())
            section.second.emplace_back(std::string(line, eq), std::string(eq + 1, line + len));
    }
    closeSection();
    return res;
}

IniData ParseIniText(const std::string& text) {
    return ParseIniText(text.data(), text.size());
}

// A line break inside a name, key or value would end its line early and let the rest of the text
// read as lines of its own.
static bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

std::string FormatIniText(const IniData& data) {
    std::string text;
    for (const auto& section : data) {
        ZipSyncAssert(!HasLineBreak(section.first));
        text += "[" + section.first + "]\n";
        for (const IniPair& pair : section.second) {
            ZipSyncAssert(!HasLineBreak(pair.first) && !HasLineBreak(pair.second));
            text += pair.first;
            text += '=';
            text += pair.second;
            text += '\n';
        }
        text += '\n';
    }
    return text;
}

} // namespace ZipSync
