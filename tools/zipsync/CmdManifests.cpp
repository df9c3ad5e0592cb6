// analyze and verify: from a tree of archives to a manifest, and back.
#include "Commands.h"
#include "Console.h"
#include "ManifestSource.h"
#include "SizeText.h"
#include "ToolPaths.h"
#include "base/Logging.h"
#include "base/Parallel.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "zip/Manifest.h"
#include "zip/ZipAnalysis.h"
#include "zip/ZipUtils.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <set>

namespace ZipSyncCli {

using namespace ZipSync;

namespace {
// Forwards the analysis progress to the console and keeps track of the archives begun and
// finished, so that the archive that failed is known whatever the thread that analysed it.
class AnalysisTracker : public ProgressIndicator {
public:
    explicit AnalysisTracker(Console& console) : _console(console) {}
    int Update(double ratio, std::string comment, double subRatio, std::string subComment) override {
        std::string name;
        if (Between(comment, "Analysing \"", "\"...", name)) _begun.insert(name);
        if (Between(comment, "Analysed  \"", "\"", name)) _finished.insert(name);
        return _console.Update(ratio, comment, subRatio, subComment);
    }
    // Archives begun and never finished: those whose analysis failed.
    std::vector<std::string> Unfinished() const {
        std::vector<std::string> result;
        for (const std::string& name : _begun)
            if (!_finished.count(name)) result.push_back(name);
        return result;
    }

private:
    static bool Between(const std::string& text, const std::string& head, const std::string& tail,
                        std::string& middle) {
        if (text.size() < head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
            text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
            return false;
        middle = text.substr(head.size(), text.size() - head.size() - tail.size());
        return true;
    }
    Console& _console;
    // The analysis calls Update under its own lock, so these need none.
    std::set<std::string> _begun, _finished;
};
} // namespace

// Warns for every archive whose entries are not in the normal form's order (by name, and stored
// in that order): an update writes each archive in name order, so such an archive can never be
// reproduced byte for byte from its manifest.
static void WarnOutOfNormalOrder(const Manifest& manifest) {
    for (int i = 1; i < manifest.size(); i++) {
        const FileMetainfo &previous = manifest[i - 1], &file = manifest[i];
        if (previous.zipPath.rel != file.zipPath.rel) continue;
        int order = previous.filename.compare(file.filename);
        if (order < 0 && previous.byterange[0] < file.byterange[0]) continue;
        if (order == 0 && previous.byterange[0] < file.byterange[0]) continue;
        g_logger->warningf("Archive %s is not in normal form: its entries are not in name order, so updates "
                           "cannot rebuild it byte for byte; 'zipsync normalize' rewrites it",
                           file.zipPath.rel.c_str());
        while (i + 1 < manifest.size() && manifest[i + 1].zipPath.rel == file.zipPath.rel) i++;
    }
}

static int RunAnalyze(const ParsedArgs& args, Console& console) {
    std::string root = AbsolutePath(args.positional[0]);
    int threads = args.GetInt("jobs", 0, 0);
    std::string output = args.Get("output", root + "/manifest.iniz");
    std::vector<std::string> zips;
    if (args.positional.size() > 1) {
        for (size_t i = 1; i < args.positional.size(); i++)
            zips.push_back(ArchiveUnderRoot(args.positional[i], root));
    } else {
        zips = CollectArchives(root);
        if (zips.empty())
            g_logger->errorf(lcGeneral, "No archives (.pk4, .zip) found under %s", root.c_str());
    }

    AnalysisTracker tracker(console);
    Manifest manifest;
    try {
        manifest = AnalyzeZips(root, zips, false, threads, &tracker);
    } catch (const ErrorException& e) {
        console.EndProgress();
        // Subset violations are what normalization repairs; broken archives (reader errors) are not.
        if (e.code == lcGeneral) {
            for (const std::string& rel : tracker.Unfinished())
                console.Diagnostic("Archive \"%s\" is outside the zip subset that can be analysed.\n"
                                   "Hint: 'zipsync normalize %s/%s' rewrites it into normal form.",
                                   rel.c_str(), root.c_str(), rel.c_str());
        }
        throw;
    }
    console.EndProgress();
    WarnOutOfNormalOrder(manifest);
    std::string package = args.Get("package");
    uint64_t bytes = 0;
    for (FileMetainfo& file : manifest) {
        file.package = package;
        bytes += file.compressedSize;
    }
    WriteManifest(output, manifest);
    g_logger->infof("Wrote %s: %d files in %d archives, %s compressed", output.c_str(), manifest.size(),
                    (int)zips.size(), FormatSize(bytes).c_str());
    return 0;
}

Command CommandAnalyze() {
    return {"analyze",
            "describe the archives of a tree in a manifest",
            "zipsync analyze [-j N] [-o MANIFEST] [--package NAME] ROOT [ZIP...]",
            "Analyses the archives under ROOT (every .pk4 and .zip below it, or the ZIPs given, relative\n"
            "to ROOT) into a manifest: every file's archive and name, byte range, zip header values and\n"
            "BLAKE2s digests. Archive paths in the manifest are relative to ROOT, so the manifest belongs\n"
            "in ROOT itself when ROOT is published (the default output is ROOT/manifest.iniz). A name\n"
            "ending in 'z' is written as a checksummed zip, any other as plain INI text. An archive\n"
            "outside the accepted zip subset is refused; 'zipsync normalize' rewrites it.",
            {{'j', "jobs", "N", false, "analyse with N threads (default 0: one per core)"},
             {'o', "output", "MANIFEST", false, "where to write the manifest (default ROOT/manifest.iniz)"},
             {0, "package", "NAME", false, "label every file with package NAME"}},
            1,
            -1,
            RunAnalyze};
}

namespace {
struct VerifyResult {
    int good = 0;
    int missing = 0;
    int corrupt = 0;
    // Report lines, in manifest order within the archive.
    std::vector<std::string> lines;
};

// The first header value in which the entry found differs from the one expected, or null.
const char* DifferingField(const FileMetainfo& expected, const FileMetainfo& found) {
    if (found.filename != expected.filename) return "file name";
    if (found.byterange[1] != expected.byterange[1]) return "byte range";
    if (found.compressedSize != expected.compressedSize) return "compressed size";
    if (found.contentsSize != expected.contentsSize) return "contents size";
    if (found.crc32 != expected.crc32) return "crc32";
    if (found.compressionMethod != expected.compressionMethod) return "compression method";
    if (found.gpbitFlag != expected.gpbitFlag) return "flags";
    if (found.lastModTime != expected.lastModTime) return "modification time";
    if (found.internalAttribs != expected.internalAttribs) return "internal attribs";
    if (found.externalAttribs != expected.externalAttribs) return "external attribs";
    return nullptr;
}

// Checks one entry of an open archive against its record: "" when it matches, otherwise what
// is wrong. missing tells the entry was not found at all.
std::string VerifyEntry(UnzFileIndexed& zf, const FileMetainfo& expected, bool& missing) {
    missing = false;
    try {
        zf.LocateByByterange(expected.byterange[0], expected.byterange[1]);
    } catch (const ErrorException& e) {
        missing = true;
        return FormatString("no entry begins at byte %u", expected.byterange[0]);
    }
    try {
        FileMetainfo found;
        // Headers and compressed bytes first: a damaged entry is then named for what it is
        // instead of for the inflate or CRC failure it also causes.
        AnalyzeCurrentEntry(zf, found, false, true);
        if (const char* field = DifferingField(expected, found)) {
            if (found.filename != expected.filename)
                return FormatString("entry at byte %u is \"%s\"", expected.byterange[0],
                                    found.filename.c_str());
            return FormatString("%s differs", field);
        }
        if (found.compressedHash != expected.compressedHash) return "compressed bytes differ (hash)";
        AnalyzeCurrentEntry(zf, found, true, false);
        if (found.contentsHash != expected.contentsHash) return "contents differ (hash)";
    } catch (const ErrorException& e) {
        return e.what();
    }
    return "";
}

VerifyResult VerifyArchive(const std::string& zipAbs, const std::string& zipRel,
                           const std::vector<const FileMetainfo*>& files) {
    VerifyResult result;
    ErrorsReportedByCaller reportedHere;
    // Something else than a file (a FIFO, say) is reported by the open below, without opening it.
    if (!IfFileExists(zipAbs) && NonRegularFileKind(zipAbs).empty()) {
        result.missing = (int)files.size();
        result.lines.push_back(
            FormatString("missing: %s (the whole archive, %d files)", zipRel.c_str(), result.missing));
        return result;
    }
    UnzFileIndexed zf;
    try {
        zf.Open(zipAbs);
    } catch (const ErrorException& e) {
        result.corrupt = (int)files.size();
        result.lines.push_back(FormatString("corrupt: %s (the whole archive, %d files): %s", zipRel.c_str(),
                                            result.corrupt, e.what()));
        return result;
    }
    for (const FileMetainfo* file : files) {
        bool missing = false;
        std::string problem = VerifyEntry(zf, *file, missing);
        std::string name = GetFullPath(zipRel, file->filename);
        if (problem.empty()) {
            result.good++;
        } else {
            (missing ? result.missing : result.corrupt)++;
            result.lines.push_back(
                FormatString("%s: %s: %s", missing ? "missing" : "corrupt", name.c_str(), problem.c_str()));
        }
    }
    return result;
}
} // namespace

static int RunVerify(const ParsedArgs& args, Console& console) {
    std::string root = AbsolutePath(args.positional[0]);
    int threads = args.GetInt("jobs", 0, 0);
    if (GetFileKind(root, true) != FileKind::Directory)
        g_logger->errorf(lcGeneral, "Directory %s does not exist", root.c_str());
    Manifest manifest;
    manifest.LoadFromIni(ReadManifestIni(args.positional[1], console), root);

    // Archives in path order, each with its files in manifest order; absent files are nowhere
    // to be checked.
    std::map<std::string, std::vector<const FileMetainfo*>> byZip;
    std::map<std::string, uint64_t> zipBytes;
    uint64_t totalBytes = 0;
    for (const FileMetainfo& file : manifest) {
        if (file.location == FileLocation::Absent) continue;
        byZip[file.zipPath.rel].push_back(&file);
        zipBytes[file.zipPath.rel] += file.byterange[1] - file.byterange[0];
        totalBytes += file.byterange[1] - file.byterange[0];
    }
    std::vector<std::string> zips;
    for (const auto& pair : byZip) zips.push_back(pair.first);
    g_logger->infof("Verifying %d files in %d archives under %s", manifest.size(), (int)zips.size(),
                    root.c_str());

    std::vector<VerifyResult> results(zips.size());
    std::mutex mutex;
    uint64_t doneBytes = 0;
    RunParallel(
        0, (int)zips.size(),
        [&](int i) {
            const std::string& rel = zips[i];
            {
                std::lock_guard<std::mutex> lock(mutex);
                console.Update((double)doneBytes / std::max<uint64_t>(totalBytes, 1),
                               FormatString("Verifying \"%s\"...", rel.c_str()));
            }
            results[i] = VerifyArchive(PathAR::FromRel(rel, root).abs, rel, byZip[rel]);
            std::lock_guard<std::mutex> lock(mutex);
            doneBytes += zipBytes[rel];
            console.Update((double)doneBytes / std::max<uint64_t>(totalBytes, 1),
                           FormatString("Verified  \"%s\"", rel.c_str()));
        },
        threads);
    console.EndProgress();

    VerifyResult total;
    for (const VerifyResult& result : results) {
        for (const std::string& line : result.lines) console.Result("%s", line.c_str());
        total.good += result.good;
        total.missing += result.missing;
        total.corrupt += result.corrupt;
    }
    console.Result("%d files checked: %d good, %d missing, %d corrupt",
                   total.good + total.missing + total.corrupt, total.good, total.missing, total.corrupt);
    return total.missing + total.corrupt == 0 ? 0 : 1;
}

Command CommandVerify() {
    return {"verify",
            "check a tree of archives against a manifest",
            "zipsync verify [-j N] ROOT MANIFEST",
            "Re-hashes every file that MANIFEST (a path or an http(s) URL) lists, in the archives under\n"
            "ROOT, and compares byte range, zip header values and both digests. Prints a line for every\n"
            "missing or corrupt file and a summary. Exit status 0 only when every file matches, 1\n"
            "otherwise. Entries of the archives that the manifest does not list are not looked at.",
            {{'j', "jobs", "N", false, "check archives with N threads (default 0: one per core)"}},
            2,
            2,
            RunVerify};
}

} // namespace ZipSyncCli
