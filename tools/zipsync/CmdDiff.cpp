// diff: what an update from one manifest to another costs.
//
// The update is planned exactly as the installer plans it, on paper: an install directory that
// holds OLD's archives (local files), the target NEW, and NEW's own archives on a mirror (remote
// files). The statistics are then the installer's six figures for that update.
#include "Commands.h"
#include "Console.h"
#include "ManifestSource.h"
#include "SizeText.h"
#include "UpdateReport.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "update/UpdateSequence.h"
#include "zip/Manifest.h"

#include <algorithm>
#include <map>

namespace ZipSyncCli {

using namespace ZipSync;

// Where the planned update takes place; nothing is ever read or written there.
static const char* const kPlanRoot = "/zipsync-diff/install";
static const char* const kPlanMirror = "http://zipsync-diff.invalid/mirror";

// The file size of each archive OLD describes, as the sum of what a well-formed archive of the
// accepted subset consists of: its entries up to the last one's end, one central record
// (46 bytes and the name) per entry, and the 22-byte end record. Exact unless the archive has
// an archive comment or bytes between its entries.
static uint64_t EstimatedArchiveSizes(const Manifest& manifest, std::vector<std::string>& zipRels) {
    std::map<std::string, uint64_t> sizes;
    std::map<std::string, uint32_t> ends;
    for (const FileMetainfo& file : manifest) {
        if (file.location == FileLocation::Absent) continue;
        sizes[file.zipPath.rel] += 46 + file.filename.size();
        ends[file.zipPath.rel] = std::max(ends[file.zipPath.rel], file.byterange[1]);
    }
    uint64_t total = 0;
    for (const auto& pair : sizes) {
        zipRels.push_back(pair.first);
        total += (uint32_t)(pair.second + ends[pair.first] + 22);
    }
    return total;
}

static Manifest LoadAt(const IniData& ini, const std::string& root) {
    Manifest manifest;
    manifest.LoadFromIni(ini, root);
    return manifest;
}

static void PrintFileLists(Console& console, const Manifest& oldManifest, const Manifest& newManifest,
                           bool bitwise) {
    std::map<std::string, const FileMetainfo*> oldFiles, newFiles;
    for (const FileMetainfo& file : oldManifest)
        if (file.location != FileLocation::Absent)
            oldFiles[GetFullPath(file.zipPath.rel, file.filename)] = &file;
    for (const FileMetainfo& file : newManifest)
        if (file.location != FileLocation::Absent)
            newFiles[GetFullPath(file.zipPath.rel, file.filename)] = &file;
    int added = 0, removed = 0, changed = 0;
    console.Result("Files:");
    // One walk over both sorted maps gives one sorted list of the three kinds.
    auto o = oldFiles.begin(), n = newFiles.begin();
    while (o != oldFiles.end() || n != newFiles.end()) {
        if (n == newFiles.end() || (o != oldFiles.end() && o->first < n->first)) {
            console.Result("  removed  %s", o->first.c_str());
            removed++;
            ++o;
        } else if (o == oldFiles.end() || n->first < o->first) {
            console.Result("  added    %s  (%s)", n->first.c_str(),
                           FormatSize(n->second->compressedSize).c_str());
            added++;
            ++n;
        } else {
            bool differs = o->second->contentsHash != n->second->contentsHash ||
                           (bitwise && o->second->compressedHash != n->second->compressedHash);
            if (differs) {
                console.Result("  changed  %s  (%s)", n->first.c_str(),
                               FormatSize(n->second->compressedSize).c_str());
                changed++;
            }
            ++o;
            ++n;
        }
    }
    console.Result("  %d added, %d removed, %d changed", added, removed, changed);
}

static int RunDiff(const ParsedArgs& args, Console& console) {
    bool bitwise = args.Has("bitwise");
    IniData oldIni = ReadManifestIni(args.positional[0], console);
    IniData newIni = ReadManifestIni(args.positional[1], console);

    Manifest oldManifest = LoadAt(oldIni, kPlanRoot);
    Manifest newManifest = LoadAt(newIni, kPlanRoot);

    UpdateSources sources;
    sources.rootDir = kPlanRoot;
    sources.target = newManifest;
    sources.local = oldManifest;
    sources.remote = LoadAt(newIni, kPlanMirror);
    std::vector<std::string> oldZips;
    sources.currentSize = EstimatedArchiveSizes(oldManifest, oldZips);
    for (const std::string& rel : oldZips) sources.owned.push_back(PathAR::FromRel(rel, kPlanRoot).abs);
    UpdateSequence update(std::move(sources));
    update.Plan(bitwise ? UpdateType::BitwiseExact : UpdateType::ContentsOnly);

    console.Result("Update from %s to %s (%s):", args.positional[0].c_str(), args.positional[1].c_str(),
                   bitwise ? "bitwise exact" : "same contents");
    PrintUpdateStats(console, update.Stats());
    if (args.Has("files")) PrintFileLists(console, oldManifest, newManifest, bitwise);
    return 0;
}

Command CommandDiff() {
    return {
        "diff",
        "what updating from one manifest to another costs",
        "zipsync diff [--files] [--bitwise] OLD NEW",
        "Plans the update of an installation holding exactly the archives of manifest OLD to\n"
        "manifest NEW, with NEW's archives on a mirror, and prints the installer's six figures in\n"
        "bytes and in human units: current (size of the old archives, computed from OLD), final,\n"
        "download, added, removed and missing. OLD and NEW are paths or http(s) URLs.",
        {{0, "files", nullptr, false, "also list the files added, removed and changed (by archive and name)"},
         {0, "bitwise", nullptr, false, "plan for archives bitwise identical to the mirror's"}},
        2,
        2,
        RunDiff};
}

} // namespace ZipSyncCli
