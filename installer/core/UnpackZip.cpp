#include "UnpackZip.h"

#include "Logging.h"
#include "Utils.h"
#include "ZipUtils.h"

#include <filesystem>
#include <stdio.h>
#include <vector>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

// The name as it can be shown: control characters as \xNN.
std::string Printable(const std::string& name) {
    std::string text;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            text += escaped;
        } else {
            text += (char)c;
        }
    }
    return text;
}

} // namespace

std::string WhyUnsafeEntryName(const std::string& name) {
    if (name.empty()) return "empty name";
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return "name contains a control character";
    if (name.find('\\') != std::string::npos) return "name contains a backslash";
    if (name[0] == '/' || (name.size() >= 2 && name[1] == ':')) return "absolute path";
    if (name.back() == '/') return "directory entry";
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return "path goes up with \"..\"";
        start = end + 1;
    }
    return "";
}

std::vector<std::string> UnpackZip(UnzFileHolder& zf) {
    std::vector<std::string> written;
    std::vector<char> buffer(65536);
    int status = unzGoToFirstFile(zf);
    while (status == UNZ_OK) {
        unz_file_info64 info;
        std::string name;
        GetCurrentFileInfo(zf, &info, &name);
        std::string problem = WhyUnsafeEntryName(name);
        if (!problem.empty())
            g_logger->errorf(lcGeneral, "Refusing to unpack entry \"%s\": %s", Printable(name).c_str(),
                             problem.c_str());
        // A symbolic link in the entry's place would be written through, possibly outside.
        std::error_code ec;
        if (fs::is_symlink(name, ec)) fs::remove(name, ec);
        StdioFileHolder file(fopen(name.c_str(), "wb"));
        if (!file) g_logger->errorf(lcCantOpenFile, "Cannot open file \"%s\" for writing", name.c_str());
        written.push_back(name);
        zf.OpenCurrentFile(false);
        while (true) {
            int read = unzReadCurrentFile(zf, buffer.data(), (unsigned)buffer.size());
            ZipSyncAssert(read >= 0);
            if (read == 0) break;
            int wr = (int)fwrite(buffer.data(), 1, read, file);
            ZipSyncAssert(read == wr);
        }
        zf.CloseCurrentFile();
        status = unzGoToNextFile(zf);
    }
    if (status != UNZ_END_OF_LIST_OF_FILE) CheckMinizip(status);
    return written;
}
