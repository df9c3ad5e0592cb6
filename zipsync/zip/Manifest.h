// Manifests: descriptions of files stored inside zip archives.
//
// A FileMetainfo records where one file lives (archive, name inside it, exact byte range from its
// local header to the end of its compressed data, and whether the archive is in place, local or
// remote), both content digests and every zip header value needed to write an identical entry
// again. A Manifest is an ordered list of such records with value semantics: it owns its records,
// copying a manifest copies them, and nothing keeps entries unique. A ManifestRef points at one
// entry of a manifest by position without owning anything; it stays valid while the manifest
// lives and its entries are neither removed nor reordered (appending is fine).
//
// Manifests travel as INI text: one section "File <zip rel>||<filename>" per entry, holding
// twelve properties in a fixed order. The absolute zip path and the location are not stored;
// whoever loads a manifest supplies the root directory, and an absent file is kept only as the
// byte range "0-0".
//
// A manifest has no locking; one thread owns it at a time.
#pragma once

#include "base/Hash.h"
#include "base/Ini.h"
#include "base/Logging.h"
#include "base/Path.h"

#include <functional>
#include <set>
#include <stdint.h>
#include <string>
#include <vector>

namespace ZipSync {

// Where a described file can be had. The numeric values are part of the planner's scoring.
enum class FileLocation : uint32_t {
    // In a local zip that already is at the place of a target file (same zip, same name).
    InPlace = 0,
    // In a zip on the local file system.
    Local = 1,
    // In a zip reachable over HTTP; zipPath.abs is a URL.
    Remote = 2,
    // Nowhere; the byte range is [0, 0).
    Absent = 3,
};

// One file entry inside a zip archive.
struct FileMetainfo {
    // The archive holding the file: abs is a local path or a URL, rel is relative to the root.
    PathAR zipPath;
    // Name of the entry exactly as stored in the zip directory.
    std::string filename;
    FileLocation location = FileLocation::Absent;
    // Half-open [begin, end): from the local file header to one past the compressed data.
    // Both are 0 exactly when the file is Absent.
    uint32_t byterange[2] = {0, 0};
    // Free label copied verbatim, never interpreted.
    std::string package;
    // DOS date in the high 16 bits, DOS time in the low 16 bits.
    uint32_t lastModTime = 0;
    // 0 (stored) or 8 (deflated).
    uint16_t compressionMethod = 0;
    // Only bits 1 and 2 (deflate options) may be set.
    uint16_t gpbitFlag = 0;
    uint16_t internalAttribs = 0;
    uint32_t externalAttribs = 0;
    uint32_t compressedSize = 0;
    uint32_t contentsSize = 0;
    uint32_t crc32 = 0;
    // BLAKE2s of the uncompressed contents.
    HashDigest contentsHash;
    // BLAKE2s of the compressed bytes as stored after the local header (equals contentsHash
    // for stored entries).
    HashDigest compressedHash;

    // Makes the record describe an absent, empty file: location Absent, byte range 0-0, all
    // numbers and both digests zero. zipPath, filename and package are kept.
    void Clear();
};

// Whether two entries are written alike: the same filename, lastModTime, compressionMethod,
// gpbitFlag, internalAttribs, externalAttribs, compressedSize, contentsSize and crc32 (so that
// an archive holding one can stand for an archive holding the other).
bool SameHeaderValues(const FileMetainfo& a, const FileMetainfo& b);

class Manifest {
public:
    // Number of entries; an int like the positions used by ManifestRef.
    int size() const { return (int)_files.size(); }
    bool empty() const { return _files.empty(); }
    FileMetainfo& operator[](int index) { return _files[index]; }
    const FileMetainfo& operator[](int index) const { return _files[index]; }

    std::vector<FileMetainfo>::iterator begin() { return _files.begin(); }
    std::vector<FileMetainfo>::iterator end() { return _files.end(); }
    std::vector<FileMetainfo>::const_iterator begin() const { return _files.begin(); }
    std::vector<FileMetainfo>::const_iterator end() const { return _files.end(); }

    void AppendFile(const FileMetainfo& file) { _files.push_back(file); }
    void AppendFile(FileMetainfo&& file) { _files.push_back(std::move(file)); }
    void reserve(int count) { _files.reserve(count); }
    void clear() { _files.clear(); }

    // Appends copies of all of other's entries, in other's order.
    void Merge(const Manifest& other);
    // The same, moving the entries out of other (which is left empty).
    void Merge(Manifest&& other);

    // A new manifest with copies of the entries for which the predicate holds, in order.
    Manifest Select(const std::function<bool(const FileMetainfo&)>& predicate) const;

    // The zips the entries lie in: every distinct zipPath.rel, sorted.
    std::set<std::string> ZipRelPaths() const;

    // Attaches every entry to rootDir (a local directory or a web address): zipPath is rebuilt
    // from its rel, and every entry that is not Absent becomes Remote under an "http://" or
    // "https://" root and Local otherwise (so InPlace turns back into Local).
    void Rebase(const std::string& rootDir);

    // Appends the entries of the "File " sections of ini, attached to rootDir, located as
    // Rebase does (Absent for the byte range "0-0"). Other sections are
    // skipped. Fails on the first malformed section with ErrorException (std::invalid_argument
    // or std::out_of_range for a number that does not convert); entries appended before the
    // failure stay.
    void LoadFromIni(const IniData& ini, const std::string& rootDir);

    // One section per entry, sorted by zip rel, filename, the digests, package, the numeric
    // members and the byte range; the manifest itself is not reordered.
    IniData SaveToIni() const;

    // Analyses the zip archive at the local path zipPathAbs, which must lie inside rootDir, and
    // appends one entry per member in central-directory order, with both digests, the given
    // location and package, and zipPath = PathAR::FromAbs(zipPathAbs, rootDir). An archive
    // outside the accepted subset (see ZipAnalysis.h) fails with ErrorException; the entries
    // appended before the failing member stay. Defined in ZipAnalysis.cpp.
    void AddZip(const std::string& zipPathAbs, const std::string& rootDir, FileLocation location,
                const std::string& package);
    // AddZip with location Local; asserts that rootDir is not an "http://" address.
    void AddLocalZip(const std::string& zipPathAbs, const std::string& rootDir, const std::string& package);

private:
    std::vector<FileMetainfo> _files;
};

// Refers to one entry of a manifest by position, or to nothing (null).
class ManifestRef {
public:
    ManifestRef() = default;
    // Asserts that index is a position of manifest.
    ManifestRef(Manifest& manifest, int index);

    bool IsNull() const { return _manifest == nullptr; }
    explicit operator bool() const { return _manifest != nullptr; }
    Manifest* GetManifest() const { return _manifest; }
    int GetIndex() const { return _index; }

    // The referred entry; asserts that the ref is not null.
    FileMetainfo& Get() const {
        ZipSyncAssert(_manifest);
        return (*_manifest)[_index];
    }
    FileMetainfo& operator*() const { return Get(); }
    FileMetainfo* operator->() const { return &Get(); }

    bool operator==(const ManifestRef& other) const {
        return _manifest == other._manifest && _index == other._index;
    }
    bool operator!=(const ManifestRef& other) const { return !(*this == other); }

private:
    Manifest* _manifest = nullptr;
    int _index = 0;
};

} // namespace ZipSync
