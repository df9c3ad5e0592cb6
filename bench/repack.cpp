// bench/repack: RepackZips where every entry is a raw copy, timed against a plain copy ("cp")
// of the same bytes in the same run.
//
//   repack [MEGABYTES] [WORKDIR]     (defaults: 400 MB of contents, about 300 MB of archives, a fresh
//   directory under /tmp)
//
// Writes four archives of stored random and deflated compressible entries (0.25 to 4 MB each)
// into WORKDIR/game/src, analyses them, and then repacks them alternately into WORKDIR/game/dst
// (the entries dealt out over the archives in reverse order) and back, so that no archive can
// be renamed and every entry is copied raw and checked. Before each repack, "cp -r" copies the
// same archives once and "rm -rf" deletes the copy (the repack deletes the archives it
// replaces). Prints the best of three for each and the ratios; the goal is repack / cp <= 1.5.
#include "base/Logging.h"
#include "base/Path.h"
#include "update/UpdateSequence.h"
#include "zip/Manifest.h"
#include "zip/ZipAnalysis.h"
#include "zip/ZipHolders.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

using namespace ZipSync;
namespace fs = std::filesystem;

namespace {

class SilentLogger : public Logger {
public:
    void Message(LogCode, LogSeverity severity, const char* message) override {
        if (severity >= sevWarning) fprintf(stderr, "%s%s\n", SeverityPrefix(severity), message);
    }
};

uint64_t Next(uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// Random bytes, or text-like bytes that deflate to about a third.
std::vector<char> MakeContents(uint64_t& rng, size_t size, bool compressible) {
    static const char* words[] = {"stone ", "moss ", "river ", "lantern ",
                                  "quill ", "mere ", "fog ",   "tower\n"};
    std::vector<char> data;
    data.reserve(size + 16);
    while (data.size() < size) {
        uint64_t r = Next(rng);
        if (compressible) {
            const char* w = words[r & 7];
            data.insert(data.end(), w, w + strlen(w));
            if ((r >> 8 & 3) == 0) data.push_back(char('a' + (r >> 16) % 26));
        } else {
            const char* bytes = (const char*)&r;
            data.insert(data.end(), bytes, bytes + 8);
        }
    }
    data.resize(size);
    return data;
}

std::vector<std::string> WriteArchives(const std::string& dir, uint64_t totalBytes) {
    fs::create_directories(dir);
    uint64_t rng = 0x9e3779b97f4a7c15ULL;
    std::vector<std::string> paths;
    for (int z = 0; z < 4; z++) {
        std::string path = dir + "/pak" + std::to_string(z) + ".pk4";
        ZipFileHolder zip(path);
        uint64_t written = 0;
        for (int i = 0; written < totalBytes / 4; i++) {
            size_t size = (256 << 10) + Next(rng) % (15 << 18);
            bool compressible = i % 3 == 0;
            std::vector<char> data = MakeContents(rng, size, compressible);
            zip_fileinfo info = {};
            info.dosDate = 0x52642000;
            std::string name =
                "data/" + std::to_string(z) + "/file" + std::to_string(i) + (compressible ? ".txt" : ".bin");
            zip.OpenNewFile(name.c_str(), info, compressible ? 8 : 0, compressible ? 1 : 0, false);
            zip.WriteInFile(data.data(), data.size());
            zip.CloseFile();
            written += size;
        }
        zip.Close();
        paths.push_back(path);
    }
    return paths;
}

// The entries of manifest dealt out over the archives of the same names in the folder to, the
// i-th entry into the archive (i mod count), in reverse order: every new archive draws from
// every old one, so none can be taken over by renaming. Each entry's byte range is where it
// lands in its new archive, as in the manifest of a published archive.
Manifest Dealt(const Manifest& manifest, const std::vector<std::string>& names, const std::string& to,
               const std::string& root) {
    Manifest result;
    std::map<std::string, uint32_t> written;
    for (int i = manifest.size() - 1; i >= 0; i--) {
        FileMetainfo f = manifest[i];
        f.zipPath = PathAR::FromRel(to + names[i % names.size()], root);
        uint32_t& offset = written[f.zipPath.rel];
        f.byterange[1] = offset + (f.byterange[1] - f.byterange[0]);
        f.byterange[0] = offset;
        offset = f.byterange[1];
        result.AppendFile(f);
    }
    return result;
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    uint64_t megabytes = argc > 1 ? strtoull(argv[1], nullptr, 10) : 400;
    std::string work = argc > 2 ? argv[2] : "";
    bool ownWork = work.empty();
    if (ownWork) {
        char pattern[] = "/tmp/qmhbenchrepack_XXXXXX";
        work = mkdtemp(pattern);
    }
    delete g_logger;
    g_logger = new SilentLogger();
    std::string root = work + "/game";
    try {
        printf("Writing %llu MB of archives in %s...\n", (unsigned long long)megabytes, root.c_str());
        std::vector<std::string> zips = WriteArchives(root + "/src", megabytes << 20);
        uint64_t bytes = 0;
        for (const std::string& z : zips) bytes += fs::file_size(z);
        Manifest provided = AnalyzeZips(root, zips, false, 0);
        std::vector<std::string> names;
        for (const std::string& z : zips) names.push_back(GetFilename(z));
        Manifest atDst = Dealt(provided, names, "dst/", root);
        Manifest atSrc = Dealt(atDst, names, "src/", root);
        printf("%d entries, %.1f MB in %zu archives\n", provided.size(), bytes / 1e6, zips.size());

        double bestCopy = 1e30, bestRemove = 1e30, bestRepack = 1e30;
        for (int run = 0; run < 3; run++) {
            std::string here = run % 2 == 0 ? "src" : "dst";
            std::string there = run % 2 == 0 ? "dst" : "src";
            if (system("sync") != 0) return 1;
            auto start = std::chrono::steady_clock::now();
            if (system(("cp -r '" + root + "/" + here + "' '" + work + "/copy'").c_str()) != 0) return 1;
            double copy = Seconds(start);
            if (system("sync") != 0) return 1;
            start = std::chrono::steady_clock::now();
            if (system(("rm -rf '" + work + "/copy'").c_str()) != 0) return 1;
            double remove = Seconds(start);
            if (system("sync") != 0) return 1;

            UpdateSources sources;
            sources.rootDir = root;
            sources.target = run % 2 == 0 ? atDst : atSrc;
            sources.local = provided;
            for (const std::string& rel : provided.ZipRelPaths()) sources.owned.push_back(root + "/" + rel);
            UpdateSequence update(std::move(sources));
            if (!update.Plan(UpdateType::BitwiseExact)) g_logger->errorf("incomplete plan");
            start = std::chrono::steady_clock::now();
            update.Repack();
            double repack = Seconds(start);
            provided = update.Process().GetProvidedManifest();
            provided.Rebase(root);
            if (fs::exists(root + "/" + here)) g_logger->errorf("%s still exists", here.c_str());

            printf(
                "run %d: cp %.3f s (%.0f MB/s), rm of the copy %.3f s; repack %s -> %s %.3f s (%.0f MB/s)\n",
                run + 1, copy, bytes / 1e6 / copy, remove, here.c_str(), there.c_str(), repack,
                bytes / 1e6 / repack);
            bestCopy = std::min(bestCopy, copy);
            bestRemove = std::min(bestRemove, remove);
            bestRepack = std::min(bestRepack, repack);
        }
        printf("best: cp %.3f s, rm %.3f s, repack %.3f s\n", bestCopy, bestRemove, bestRepack);
        printf("repack / cp = %.2f (goal <= 1.5); repack / (cp + rm) = %.2f, as the repack also deletes the "
               "archives it replaces\n",
               bestRepack / bestCopy, bestRepack / (bestCopy + bestRemove));
    } catch (const ErrorException& e) {
        fprintf(stderr, "failed: %s\n", e.what());
        return 1;
    }
    if (ownWork) fs::remove_all(work);
    return 0;
}
