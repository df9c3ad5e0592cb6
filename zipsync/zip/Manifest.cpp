#include "zip/Manifest.h"

#include "base/Logging.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace ZipSync {

namespace {

const char SECTION_PREFIX[] = "File ";
const size_t SECTION_PREFIX_LEN = sizeof(SECTION_PREFIX) - 1;

// Converts like the standard stoul where unsigned long has 32 bits: leading white space and
// one sign are accepted, characters after the digits are ignored, a negative value wraps
// around, and a magnitude beyond 32 bits is out of range.
uint32_t ParseUnsigned32(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (*p < '0' || *p > '9') throw std::invalid_argument("invalid stoul argument");
    uint64_t value = 0;
    bool overflow = false;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > UINT32_MAX) {
            overflow = true;
            value = UINT32_MAX; // keeps the accumulator bounded while the digits are consumed
        }
    }
    if (overflow) throw std::out_of_range("stoul argument out of range");
    uint32_t result = (uint32_t)value;
    return negative ? (uint32_t)(0u - result) : result;
}

// Walks the properties of one section in order, requiring each expected key in turn.
class PropertyCursor {
public:
    explicit PropertyCursor(const IniSect& props) : _props(props) {}

    const std::string& Next(const char* key) {
        if (_pos >= _props.size()) g_logger->errorf(lcGeneral, "No property while %s expected", key);
        const auto& prop = _props[_pos++];
        if (prop.first != key)
            g_logger->errorf(lcGeneral, "Expected property %s, got %s", key, prop.first.c_str());
        return prop.second;
    }
    uint32_t NextNumber(const char* key) { return ParseUnsigned32(Next(key).c_str()); }

private:
    const IniSect& _props;
    size_t _pos = 0;
};

void ParseByterange(const std::string& text, FileMetainfo& pf) {
    size_t hyphen = text.find('-');
    if (hyphen == std::string::npos) g_logger->errorf(lcGeneral, "Byterange %s has no hyphen", text.c_str());
    pf.byterange[0] = ParseUnsigned32(text.substr(0, hyphen).c_str());
    pf.byterange[1] = ParseUnsigned32(text.c_str() + hyphen + 1);
    if (pf.byterange[0] == 0 && pf.byterange[1] == 0) {
        pf.location = FileLocation::Absent;
        return;
    }
    ZipSyncAssert(pf.byterange[0] < pf.byterange[1]);
}

// Parses one "File " section (name given without the prefix) into pf, property by property so
// that errors come in property order.
void ParseFileSection(const std::string& fullName, const IniSect& props, const std::string& rootDir,
                      FileLocation defaultLocation, FileMetainfo& pf) {
    std::string zipRel;
    ParseFullPath(fullName, zipRel, pf.filename);
    pf.location = defaultLocation;
    PropertyCursor cursor(props);
    pf.contentsHash.Parse(cursor.Next("contentsHash").c_str());
    pf.compressedHash.Parse(cursor.Next("compressedHash").c_str());
    ParseByterange(cursor.Next("byterange"), pf);
    pf.package = cursor.Next("package");
    pf.crc32 = cursor.NextNumber("crc32");
    pf.lastModTime = cursor.NextNumber("lastModTime");
    pf.compressionMethod = (uint16_t)cursor.NextNumber("compressionMethod");
    pf.gpbitFlag = (uint16_t)cursor.NextNumber("gpbitFlag");
    pf.compressedSize = cursor.NextNumber("compressedSize");
    pf.contentsSize = cursor.NextNumber("contentsSize");
    pf.internalAttribs = (uint16_t)cursor.NextNumber("internalAttribs");
    pf.externalAttribs = cursor.NextNumber("externalAttribs");
    pf.zipPath = PathAR::FromRel(zipRel, rootDir);
    ValidateArchivePath(zipRel);
}

// The numeric tail of the save key, in key order.
auto NumericKey(const FileMetainfo& f) {
    return std::tie(f.lastModTime, f.compressionMethod, f.gpbitFlag, f.internalAttribs, f.externalAttribs,
                    f.compressedSize, f.contentsSize, f.crc32, f.byterange[0], f.byterange[1]);
}

// The order in which SaveToIni writes entries.
bool SavedBefore(const FileMetainfo* a, const FileMetainfo* b) {
    if (int cmp = a->zipPath.rel.compare(b->zipPath.rel)) return cmp < 0;
    if (int cmp = a->filename.compare(b->filename)) return cmp < 0;
    if (!(a->contentsHash == b->contentsHash)) return a->contentsHash < b->contentsHash;
    if (!(a->compressedHash == b->compressedHash)) return a->compressedHash < b->compressedHash;
    if (int cmp = a->package.compare(b->package)) return cmp < 0;
    return NumericKey(*a) < NumericKey(*b);
}

IniSect FileSectionProperties(const FileMetainfo& file) {
    IniSect props;
    props.reserve(12);
    props.emplace_back("contentsHash", file.contentsHash.Hex());
    props.emplace_back("compressedHash", file.compressedHash.Hex());
    props.emplace_back("byterange",
                       std::to_string(file.byterange[0]) + "-" + std::to_string(file.byterange[1]));
    props.emplace_back("package", file.package);
    props.emplace_back("crc32", std::to_string(file.crc32));
    props.emplace_back("lastModTime", std::to_string(file.lastModTime));
    props.emplace_back("compressionMethod", std::to_string(file.compressionMethod));
    props.emplace_back("gpbitFlag", std::to_string(file.gpbitFlag));
    props.emplace_back("compressedSize", std::to_string(file.compressedSize));
    props.emplace_back("contentsSize", std::to_string(file.contentsSize));
    props.emplace_back("internalAttribs", std::to_string(file.internalAttribs));
    props.emplace_back("externalAttribs", std::to_string(file.externalAttribs));
    return props;
}

// Location of the files of a manifest attached to rootDir. An "https://" root is a web address
// as much as an "http://" one; treating it as a local directory would send URLs to fopen.
FileLocation LocationUnderRoot(const std::string& rootDir) {
    bool url = PathAR::IsHttp(rootDir) || rootDir.compare(0, 8, "https://") == 0;
    return url ? FileLocation::Remote : FileLocation::Local;
}

} // namespace

bool SameHeaderValues(const FileMetainfo& a, const FileMetainfo& b) {
    return a.filename == b.filename && a.lastModTime == b.lastModTime &&
           a.compressionMethod == b.compressionMethod && a.gpbitFlag == b.gpbitFlag &&
           a.internalAttribs == b.internalAttribs && a.externalAttribs == b.externalAttribs &&
           a.compressedSize == b.compressedSize && a.contentsSize == b.contentsSize && a.crc32 == b.crc32;
}

void FileMetainfo::Clear() {
    location = FileLocation::Absent;
    byterange[0] = byterange[1] = 0;
    lastModTime = 0;
    compressionMethod = 0;
    gpbitFlag = 0;
    internalAttribs = 0;
    externalAttribs = 0;
    compressedSize = 0;
    contentsSize = 0;
    crc32 = 0;
    contentsHash.Clear();
    compressedHash.Clear();
}

void Manifest::Merge(const Manifest& other) {
    if (&other == this) {
        // After the reserve no reallocation happens, so the entries being copied stay put.
        size_t count = _files.size();
        _files.reserve(2 * count);
        for (size_t i = 0; i < count; i++) _files.push_back(_files[i]);
        return;
    }
    _files.insert(_files.end(), other._files.begin(), other._files.end());
}

void Manifest::Merge(Manifest&& other) {
    if (&other == this) return Merge(static_cast<const Manifest&>(other));
    if (_files.empty()) {
        _files = std::move(other._files);
    } else {
        _files.insert(_files.end(), std::make_move_iterator(other._files.begin()),
                      std::make_move_iterator(other._files.end()));
    }
    other._files.clear();
}

Manifest Manifest::Select(const std::function<bool(const FileMetainfo&)>& predicate) const {
    Manifest result;
    for (const FileMetainfo& file : _files)
        if (predicate(file)) result._files.push_back(file);
    return result;
}

std::set<std::string> Manifest::ZipRelPaths() const {
    std::set<std::string> zips;
    // A manifest lists the files of a zip one after the other; repeats skip the set look-up.
    const std::string* previous = nullptr;
    for (const FileMetainfo& file : _files)
        if (!previous || *previous != file.zipPath.rel) previous = &*zips.insert(file.zipPath.rel).first;
    return zips;
}

void Manifest::Rebase(const std::string& rootDir) {
    FileLocation newLocation = LocationUnderRoot(rootDir);
    for (FileMetainfo& file : _files) {
        file.zipPath = PathAR::FromRel(file.zipPath.rel, rootDir);
        if (file.location != FileLocation::Absent) file.location = newLocation;
    }
}

void Manifest::LoadFromIni(const IniData& ini, const std::string& rootDir) {
    FileLocation defaultLocation = LocationUnderRoot(rootDir);
    // Room for every section at once, but never below geometric growth, so that many small
    // loads into one manifest stay linear.
    size_t needed = _files.size() + ini.size();
    if (needed > _files.capacity()) _files.reserve(std::max(needed, 2 * _files.capacity()));
    for (const auto& section : ini) {
        const std::string& name = section.first;
        if (name.compare(0, SECTION_PREFIX_LEN, SECTION_PREFIX) != 0) continue;
        FileMetainfo pf;
        ParseFileSection(name.substr(SECTION_PREFIX_LEN), section.second, rootDir, defaultLocation, pf);
        _files.push_back(std::move(pf));
    }
}

IniData Manifest::SaveToIni() const {
    std::vector<const FileMetainfo*> order;
    order.reserve(_files.size());
    for (const FileMetainfo& file : _files) order.push_back(&file);
    std::sort(order.begin(), order.end(), SavedBefore);

    IniData ini;
    ini.reserve(order.size());
    for (const FileMetainfo* file : order) {
        std::string name;
        name.reserve(SECTION_PREFIX_LEN + file->zipPath.rel.size() + 2 + file->filename.size());
        name.append(SECTION_PREFIX).append(file->zipPath.rel).append("||").append(file->filename);
        ini.emplace_back(std::move(name), FileSectionProperties(*file));
    }
    return ini;
}

ManifestRef::ManifestRef(Manifest& manifest, int index) : _manifest(&manifest), _index(index) {
    ZipSyncAssert(_index >= 0 && _index < manifest.size());
}

} // namespace ZipSync
