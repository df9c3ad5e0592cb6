#include "UnpackZip.h"

#include "base/Hash.h"
#include "base/Logging.h"
#include "base/Utils.h"
#include "zip/ZipUtils.h"

#include <errno.h>
#include <filesystem>
#include <map>
#include <stdio.h>
#include <string.h>
#include <vector>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

const char* const kTempPrefix = "__unpacking__";

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

// The temporary file beside the entry's target.
std::string TemporaryPath(const std::string& name) {
    size_t slash = name.rfind('/');
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    return name.substr(0, start) + kTempPrefix + name.substr(start);
}

// Stored names of the zip's entries, in central-directory order.
std::vector<std::string> EntryNames(UnzFileHolder& zf) {
    std::vector<std::string> names;
    int status = unzGoToFirstFile(zf);
    while (status == UNZ_OK) {
        unz_file_info64 info;
        std::string name;
        GetCurrentFileInfo(zf, &info, &name);
        names.push_back(name);
        status = unzGoToNextFile(zf);
    }
    if (status != UNZ_END_OF_LIST_OF_FILE) CheckMinizip(status);
    return names;
}

// Copies the current entry of the zip into the file at path, in blocks of 64 KiB; returns the
// digest of what it wrote.
HashDigest WriteCurrentEntry(UnzFileHolder& zf, const std::string& name, const std::string& path,
                             std::vector<char>& buffer) {
    // Whatever lies at the temporary name is ours to replace; a link there must not be written
    // through.
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec)) && !fs::is_directory(fs::symlink_status(path, ec)))
        fs::remove(path, ec);
    StdioFileHolder file(OpenStdioFile(path, "wb"));
    if (!file)
        g_logger->errorf(lcCantOpenFile, "Cannot open file \"%s\" for writing: %s", name.c_str(),
                         ErrnoText(errno).c_str());
    zf.OpenCurrentFile(false);
    Hasher hasher;
    while (true) {
        int read = unzReadCurrentFile(zf, buffer.data(), (unsigned)buffer.size());
        ZipSyncAssert(read >= 0);
        if (read == 0) break;
        hasher.Update(buffer.data(), size_t(read));
        if (fwrite(buffer.data(), 1, read, file) != size_t(read)) RaiseWriteFailure(name, errno);
    }
    zf.CloseCurrentFile();
    // A full disk may only show when the buffered rest is written.
    if (file.reset() != 0) RaiseWriteFailure(name, errno);
    return hasher.Finalize();
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
        // Another spelling of a name would pass a comparison with the names refused.
        if (end == start || name.compare(start, end - start, ".") == 0)
            return "path has an empty or \".\" component";
        start = end + 1;
    }
    // The files go into the install directory itself: a folder of the player's (or a link to
    // one elsewhere) is no place for them.
    if (name.find('/') != std::string::npos) return "no plain file name (no folders are made)";
    if (IsUnpackTemporaryName(name)) return "name of a temporary file";
    return "";
}

void CheckEntryName(const std::string& name, const EntryRefusal& refusal) {
    std::string problem = WhyUnsafeEntryName(name);
    if (problem.empty() && refusal) problem = refusal(name);
    if (!problem.empty())
        g_logger->errorf(lcGeneral, "Refusing to unpack entry \"%s\": %s", Printable(name).c_str(),
                         problem.c_str());
}

bool IsUnpackTemporaryName(const std::string& fileName) {
    return fileName.size() > strlen(kTempPrefix) &&
           fileName.compare(0, strlen(kTempPrefix), kTempPrefix) == 0;
}

void RemoveUnpackLeftovers(const std::string& root) {
    std::vector<fs::path> leftovers;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec))
        if (!it->is_directory(ec) && IsUnpackTemporaryName(it->path().filename().string()))
            leftovers.push_back(it->path());
    for (const fs::path& path : leftovers) {
        g_logger->infof("Deleting %s...", path.generic_string().c_str());
        fs::remove(path, ec);
    }
}

StagedUnpack::~StagedUnpack() {
    Discard();
}

void StagedUnpack::Discard() {
    std::error_code ec;
    for (const File& file : _files)
        if (!file.temp.empty()) fs::remove(file.temp, ec);
    _files.clear();
}

void StagedUnpack::Stage(UnzFileHolder& zf, const EntryRefusal& refusal) {
    try {
        std::vector<std::string> names = EntryNames(zf);
        for (const std::string& name : names) CheckEntryName(name, refusal);
        for (const std::string& name : names) {
            std::error_code ec;
            if (fs::is_directory(fs::symlink_status(name, ec)))
                g_logger->errorf(lcGeneral, "Cannot unpack entry \"%s\": a directory is in its place",
                                 name.c_str());
        }
        std::vector<char> buffer(65536);
        // Position of each name in _files: a name given twice is written to the same file.
        std::map<std::string, size_t> positions;
        int status = unzGoToFirstFile(zf);
        for (size_t i = 0; status == UNZ_OK; i++, status = unzGoToNextFile(zf)) {
            auto [position, added] = positions.emplace(names[i], _files.size());
            if (added) _files.push_back({names[i], TemporaryPath(names[i]), HashDigest()});
            File& file = _files[position->second];
            file.digest = WriteCurrentEntry(zf, file.name, file.temp, buffer);
        }
        if (status != UNZ_END_OF_LIST_OF_FILE) CheckMinizip(status);
    } catch (...) {
        Discard();
        throw;
    }
}

std::vector<std::string> StagedUnpack::Commit() {
    std::vector<std::string> names;
    for (File& file : _files) {
        std::error_code ec;
        fs::rename(file.temp, file.name, ec);
        if (ec)
            g_logger->errorf(lcGeneral, "Failed to move %s into place: %s", file.name.c_str(),
                             ec.message().c_str());
        file.temp.clear();
        names.push_back(file.name);
    }
    _files.clear();
    return names;
}

std::vector<std::string> StagedUnpack::Names() const {
    std::vector<std::string> names;
    for (const File& file : _files) names.push_back(file.name);
    return names;
}

std::map<std::string, HashDigest> StagedUnpack::Digests() const {
    std::map<std::string, HashDigest> digests;
    for (const File& file : _files) digests[file.name] = file.digest;
    return digests;
}

std::vector<std::string> UnpackZip(UnzFileHolder& zf) {
    StagedUnpack staged;
    staged.Stage(zf, EntryRefusal());
    return staged.Commit();
}
