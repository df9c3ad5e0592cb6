// update: bringing a directory of archives to a target manifest, as the installer does.
//
// The steps are the installer's: clean up what an interrupted run left, analyse the archives
// present, plan against the target with the local archives and the mirrors as providers,
// download the missing entries, repack, clean up. The archives under ROOT are owned by the
// update (rewritten or deleted as the target needs) unless --keep names them. Entries that an
// interrupted run downloaded wait in ROOT/.zipsync/download and are used instead of being
// fetched again; the journal is removed once an update has succeeded.
#include "Commands.h"
#include "Console.h"
#include "DownloadOptions.h"
#include "ManifestSource.h"
#include "SizeText.h"
#include "ToolPaths.h"
#include "UpdateReport.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Platform.h"
#include "net/Downloader.h"
#include "update/DirectoryLock.h"
#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"
#include "update/UpdateSequence.h"
#include "zip/Manifest.h"
#include "zip/ZipAnalysis.h"

#include <filesystem>
#include <set>

namespace ZipSyncCli {

using namespace ZipSync;

namespace {
// A manifest of files that some place provides, and that place: a base URL or a local directory.
struct ProvidedSource {
    std::string manifest;
    std::string base;
};

ProvidedSource ParseProvide(const std::string& text) {
    ProvidedSource source;
    size_t eq = text.find('=');
    source.manifest = text.substr(0, eq);
    if (eq != std::string::npos)
        source.base = text.substr(eq + 1);
    else if (IsUrl(source.manifest))
        source.base = UrlDirectory(source.manifest);
    if (source.manifest.empty() || source.base.empty())
        throw UsageError("--provide " + text +
                         ": give MANIFEST=BASEURL (BASEURL may be left out for a URL manifest)");
    if (!IsUrl(source.base)) source.base = AbsolutePath(source.base);
    return source;
}

bool IsKept(const std::string& rel, const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns)
        if (MatchesPattern(pattern, rel)) return true;
    return false;
}

// Refuses, before anything changes, target archives the update must not own: names that are
// no archive names (a user's zip-format document), temporary names, and kept archives.
void CheckTargetArchives(const Manifest& target, const std::vector<std::string>& keep) {
    for (const std::string& zip : target.ZipRelPaths()) {
        const char* rel = zip.c_str();
        std::string name = GetFilename(zip);
        if (!IsArchiveName(name))
            g_logger->errorf(lcGeneral,
                             "Target archive %s is not a .pk4 or .zip file; the update owns only those", rel);
        if (IsTemporaryFileName(name))
            g_logger->errorf(lcGeneral, "Target archive %s has a temporary name", rel);
        if (IsKept(zip, keep))
            g_logger->errorf(lcGeneral,
                             "Target archive %s matches a --keep pattern; kept archives are never written",
                             rel);
    }
}

// Analyses archives that must not change: as they are, never normalized. One that cannot be
// analysed so is left out as a source.
Manifest AnalyzeAsTheyAre(const std::string& root, const std::vector<std::string>& zips, int threads,
                          Console& console, const char* consequence) {
    if (zips.empty()) return Manifest();
    // The failures are reported below, once per archive, as warnings.
    try {
        ErrorsReportedByCaller reportedHere;
        Manifest all = AnalyzeZips(root, zips, false, threads, &console);
        console.EndProgress();
        return all;
    } catch (const ErrorException&) {
        console.EndProgress();
    }
    Manifest analysed;
    for (const std::string& zip : zips) {
        try {
            ErrorsReportedByCaller reportedHere;
            analysed.Merge(AnalyzeZips(root, {zip}, false, 1, nullptr));
        } catch (const ErrorException& e) {
            g_logger->warningf("%s: the archive cannot be analysed as it is; %s", e.what(), consequence);
        }
    }
    return analysed;
}

void ReportMissing(const UpdateProcess& process) {
    int count = 0;
    for (const FileMatch& match : process.GetMatches()) {
        if (!match.provided.IsNull()) continue;
        if (++count <= 10)
            g_logger->warningf("No provider for %s",
                               GetFullPath(match.target->zipPath.rel, match.target->filename).c_str());
    }
    g_logger->errorf(lcGeneral, "%d files of the target are provided nowhere; add a mirror with --provide",
                     count);
}

// Downloading and repacking; whatever fails, the temporary files are cleaned up before the
// error travels on, so that ROOT holds only whole archives again.
void Execute(UpdateSequence& update, Console& console, const ParsedArgs& args) {
    Downloader downloader = MakeArchiveDownloader(console, args);
    try {
        update.Execute(downloader, console.Callback(), console.Callback(), [&](UpdateStep done) {
            console.EndProgress();
            if (done == UpdateStep::Download)
                g_logger->infof("Downloaded bytes: %llu (%s)",
                                (unsigned long long)downloader.TotalBytesDownloaded(),
                                FormatSize(downloader.TotalBytesDownloaded()).c_str());
        });
    } catch (...) {
        console.EndProgress();
        throw;
    }
}
} // namespace

static int RunUpdate(const ParsedArgs& args, Console& console) {
    std::string root = AbsolutePath(args.positional[0]);
    std::string targetArg = args.Get("target");
    if (targetArg.empty()) throw UsageError("--target MANIFEST is required");
    std::vector<ProvidedSource> sources;
    if (IsUrl(targetArg)) sources.push_back({targetArg, UrlDirectory(targetArg)});
    for (const std::string& text : args.GetAll("provide")) sources.push_back(ParseProvide(text));
    std::vector<std::string> keep = args.GetAll("keep");
    int threads = args.GetInt("jobs", 0, 0);
    UpdateType type = args.Has("bitwise") ? UpdateType::BitwiseExact : UpdateType::ContentsOnly;
    // A dry run writes nothing under ROOT: no clean-up, no normalization, not even ROOT itself.
    bool dryRun = args.Has("dry-run");

    UpdateSources update;
    update.rootDir = root;
    IniData targetIni = ReadManifestIni(targetArg, console);
    update.target.LoadFromIni(targetIni, root);
    const Manifest& target = update.target;
    CheckTargetArchives(target, keep);
    for (const ProvidedSource& source : sources)
        update.remote.LoadFromIni(source.manifest == targetArg ? targetIni
                                                               : ReadManifestIni(source.manifest, console),
                                  source.base);

    bool rootExists = std::filesystem::exists(FsPath(root));
    // The plan's checks of the archives to write, before the clean-up or a normalization
    // changes anything.
    std::set<std::string> toWrite;
    for (const std::string& rel : target.ZipRelPaths()) toWrite.insert(PathAR::FromRel(rel, root).abs);
    if (rootExists)
        for (const std::string& zip : CollectArchives(root))
            if (!IsKept(PathAR::FromAbs(zip, root).rel, keep)) toWrite.insert(zip);
    CheckZipsToWrite(target, toWrite, root);
    // Held until the update has ended: a second update (or an installer) in ROOT stops at once.
    DirectoryLock lock;
    if (!dryRun) {
        std::filesystem::create_directories(FsPath(root));
        lock = DirectoryLock(root, true);
        g_logger->infof("Cleaning temporary files");
        CleanupTemporaryFiles(root);
    }
    std::vector<std::string> zips, kept;
    if (!dryRun || rootExists) zips = CollectArchives(root);
    for (const std::string& zip : zips) {
        std::string rel = PathAR::FromAbs(zip, root).rel;
        bool isKept = IsKept(rel, keep);
        g_logger->debugf("  %s: %s", isKept ? "kept" : "owned", rel.c_str());
        (isKept ? kept : update.owned).push_back(zip);
    }
    // Owned archives outside the accepted zip subset are normalized in place, except in a dry run.
    // Those that still cannot be analysed are damaged: none of their bytes serve as a source, and
    // the update replaces them with the target's archive of that name (or deletes them).
    update.local = dryRun ? AnalyzeAsTheyAre(root, update.owned, threads, console,
                                             "the update normalizes it first, this dry run leaves it out")
                          : AnalyzeZips(root, update.owned, true, threads, &console, &update.damaged);
    console.EndProgress();
    update.local.Merge(AnalyzeAsTheyAre(root, kept, threads, console, "it is left out as a source"));
    // What an interrupted run downloaded is not fetched again (a dry run salvages nothing).
    update.kept = AnalyzeDownloadJournal(root, {}, !dryRun);

    int ownedCount = (int)update.owned.size();
    // The target keeps its manifest's order, which is name order within each archive: the
    // order in which the archive is written.
    UpdateSequence sequence(std::move(update));
    const UpdateProcess& process = sequence.Process();
    g_logger->infof("Developing update plan: %d target files, %d provided files, %d owned archives",
                    process.GetTargetManifest().size(), process.GetProvidedManifest().size(), ownedCount);
    bool complete = sequence.Plan(type);
    console.Result("Update of %s to %s (%s):", root.c_str(), targetArg.c_str(),
                   type == UpdateType::BitwiseExact ? "bitwise exact" : "same contents");
    PrintUpdateStats(console, sequence.Stats());
    if (!complete) ReportMissing(process);
    if (dryRun) return 0;

    Execute(sequence, console, args);
    g_logger->infof("%s now holds the target: %d files in %d archives", root.c_str(),
                    process.GetTargetManifest().size(), (int)CollectArchives(root).size());
    return 0;
}

Command CommandUpdate() {
    return {
        "update",
        "bring a directory to a target manifest, from its own archives and mirrors",
        "zipsync update --target MANIFEST [--provide MANIFEST[=BASEURL]]... [--bitwise] ROOT",
        "Brings ROOT (created when missing) to the target manifest: analyses the .pk4 and .zip\n"
        "archives under ROOT, plans which files come from them and which from mirrors, downloads\n"
        "only the missing entries with range requests, and rebuilds the archives, exactly as the\n"
        "installer does. MANIFEST is a path or an http(s) URL; a target given by URL also provides\n"
        "the files of its own directory on the server. Each --provide adds a manifest of files\n"
        "available at BASEURL (a URL, or a local directory), by default the manifest URL's own\n"
        "directory. Every archive under ROOT belongs to the update and is rewritten or deleted as\n"
        "the target needs, except those matching a --keep pattern (read as a source, never\n"
        "changed). Target archives must be .pk4 or .zip files. An owned archive that cannot be read\n"
        "even after normalization (truncated, corrupt) is reported and replaced by the target's\n"
        "archive of that name, or deleted. A failed update removes its temporary files before it\n"
        "exits; one that is killed leaves them, and the next run finishes or removes them first.\n"
        "What an interrupted update downloaded stays in ROOT/.zipsync/download and is not fetched\n"
        "again. A dry run (-n) writes nothing. HTTPS certificates are checked against the built-in\n"
        "roots and those of the file named by QMH_EXTRA_CA_FILE.",
        {{0, "target", "MANIFEST", false, "the manifest to reach (required)"},
         {0, "provide", "MANIFEST[=BASEURL]", true, "files available at BASEURL (repeatable)"},
         {0, "bitwise", nullptr, false, "make the archives bitwise identical to the mirror's"},
         {0, "keep", "PATTERN", true, "never change archives whose path under ROOT matches (repeatable)"},
         {'j', "jobs", "N", false, "analyse the present archives with N threads (default 0: one per core)"},
         {'n', "dry-run", nullptr, false, "plan and print the figures, write nothing"},
         TransfersOption(),
         LimitRateOption()},
        1,
        1,
        RunUpdate};
}

} // namespace ZipSyncCli
