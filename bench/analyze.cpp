// Times AnalyzeZips on a generated directory of archives against a baseline that does only the
// work no analysis can avoid: read each entry's compressed bytes once, BLAKE2s them, inflate
// them and BLAKE2s the contents (a stored entry's two digests are one). The archives hold
// stored and deflated entries of compressible and random data, from a few KB to several MB.
// Both are run for 1 thread and for all cores, alternately and several times; the best time of
// each is printed with the ratio.
// Usage: analyze [--small] [--only=analysis|baseline] [total MB (300)] [repetitions (3)]
// --small makes every entry 0.5-16.5 KB, which shows the cost per entry; --only runs one side
// (for profiling) and prints no comparison.
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "zip/ZipAnalysis.h"
#include "zip/ZipHolders.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <thread>
#include <time.h>
#include <vector>
#include <zlib.h>

using namespace ZipSync;

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// CPU time of all threads of the process: less disturbed than wall time by other work on the
// machine, but blind to waiting and to lost parallelism.
double CpuNow() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Rng {
    uint64_t state;
    uint32_t Next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return uint32_t(state >> 33);
    }
};

void FillText(std::string& out, size_t size, Rng& rng) {
    static const char* const words[] = {"the ",     "stone ", "lantern ", "harbour ", "quill ",  "mere ",
                                        "tower\n",  "{ ",     "} ",       "0.25 ",    "model ",  "surface ",
                                        "texture ", "light ", "shadow ",  "\t",       "origin ", "angle "};
    out.clear();
    while (out.size() < size) {
        out += words[rng.Next() % 18];
        if (rng.Next() % 16 == 0) out += std::to_string(rng.Next() % 100000);
    }
    out.resize(size);
}

void FillRandom(std::string& out, size_t size, Rng& rng) {
    out.resize(size);
    for (size_t i = 0; i < size; i += 4) {
        uint32_t x = rng.Next();
        memcpy(&out[i], &x, std::min<size_t>(4, size - i));
    }
}

// An entry size: mostly small files, some medium, a few large (or only small ones).
size_t EntrySize(Rng& rng, bool small) {
    if (small) return 512 + rng.Next() % (16 << 10);
    uint32_t kind = rng.Next() % 100;
    if (kind < 70) return 512 + rng.Next() % (64 << 10);
    if (kind < 95) return (256 << 10) + rng.Next() % (2 << 20);
    return (4 << 20) + rng.Next() % (4 << 20);
}

struct Generated {
    std::vector<std::string> paths;
    int entries = 0;
    uint64_t storedBytes = 0, deflatedContents = 0, deflatedCompressed = 0, textBytes = 0, randomBytes = 0;
};

Generated Generate(const std::string& root, uint64_t totalBytes, bool small) {
    Generated gen;
    Rng rng{42};
    std::string contents;
    const uint64_t perArchive = 12 << 20;
    for (int z = 0; uint64_t(z) * perArchive < totalBytes; z++) {
        std::string path = root + "/" + (z % 3 ? "base/" : "") + "pak" + std::to_string(z) + ".pk4";
        CreateDirectoriesForFile(path, root);
        ZipFileHolder zf(path);
        uint64_t written = 0;
        for (int e = 0; written < perArchive; e++) {
            size_t size = EntrySize(rng, small);
            bool text = rng.Next() % 2 == 0;
            bool deflate = text ? rng.Next() % 10 != 0 : rng.Next() % 5 < 2;
            if (text)
                FillText(contents, size, rng);
            else
                FillRandom(contents, size, rng);
            zip_fileinfo info = {};
            info.dosDate = 0x5A8C6B2F;
            std::string name =
                "dir" + std::to_string(e % 7) + "/file" + std::to_string(e) + (text ? ".txt" : ".bin");
            zf.OpenNewFile(name.c_str(), info, deflate ? 8 : 0, deflate ? (text ? 6 : 1) : 0, false);
            zf.WriteInFile(contents.data(), contents.size());
            zf.CloseFile();
            written += size;
            gen.entries++;
            (text ? gen.textBytes : gen.randomBytes) += size;
            if (deflate)
                gen.deflatedContents += size;
            else
                gen.storedBytes += size;
        }
        zf.Close();
        gen.paths.push_back(path);
    }
    return gen;
}

uint32_t Le(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

struct Digests {
    // Sum of the first 8 bytes of every contents digest, to compare the two runs.
    uint64_t checksum = 0;
    uint64_t compressedBytes = 0;
};

uint64_t DigestWord(const HashDigest& digest) {
    uint64_t word;
    memcpy(&word, digest.data, 8);
    return word;
}

// The baseline for one archive: the entry positions from the central directory, then per entry
// one read of its compressed bytes, BLAKE2s over them, inflate and BLAKE2s over the contents.
void BaselineOne(const std::string& path, Digests& out) {
    StdioFileHolder f(path, "rb");
    FileSeek64(f, 0, SEEK_END);
    int64_t size = FileTell64(f);
    uint8_t eocd[22];
    FileSeek64(f, size - 22, SEEK_SET);
    if (fread(eocd, 1, 22, f) != 22) abort();
    uint32_t count = Le(eocd + 10, 2), cdSize = Le(eocd + 12, 4), cdStart = Le(eocd + 16, 4);
    std::vector<uint8_t> cd(cdSize);
    FileSeek64(f, cdStart, SEEK_SET);
    if (fread(cd.data(), 1, cdSize, f) != cdSize) abort();

    std::vector<uint8_t> in(65536), outBuf(65536);
    z_stream zs;
    memset(&zs, 0, sizeof(zs));
    inflateInit2(&zs, -MAX_WBITS);
    size_t pos = 0;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t* rec = &cd[pos];
        uint32_t method = Le(rec + 10, 2), compSize = Le(rec + 20, 4), nameLen = Le(rec + 28, 2);
        uint32_t offset = Le(rec + 42, 4);
        pos += 46 + nameLen + Le(rec + 30, 2) + Le(rec + 32, 2);
        FileSeek64(f, int64_t(offset) + 30 + nameLen, SEEK_SET);
        Hasher compressed, contents;
        inflateReset(&zs);
        for (uint32_t left = compSize; left > 0;) {
            uint32_t chunk = std::min<uint32_t>(left, uint32_t(in.size()));
            if (fread(in.data(), 1, chunk, f) != chunk) abort();
            left -= chunk;
            compressed.Update(in.data(), chunk);
            if (method == 0) continue;
            zs.next_in = in.data();
            zs.avail_in = chunk;
            do {
                zs.next_out = outBuf.data();
                zs.avail_out = uInt(outBuf.size());
                int err = inflate(&zs, Z_NO_FLUSH);
                if (err != Z_OK && err != Z_STREAM_END) abort();
                contents.Update(outBuf.data(), outBuf.size() - zs.avail_out);
            } while (zs.avail_out == 0);
        }
        HashDigest c = compressed.Finalize();
        out.checksum += DigestWord(method == 0 ? c : contents.Finalize());
        out.compressedBytes += compSize;
    }
    inflateEnd(&zs);
}

// Runs body(i) for every archive on threads workers (an atomic counter, no other sharing).
template <class Body> void ForEachArchive(size_t count, int threads, Body body) {
    std::atomic<size_t> next(0);
    auto worker = [&] {
        for (size_t i; (i = next++) < count;) body(i);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; t++) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
}

class QuietLogger : public Logger {
public:
    void Message(LogCode, LogSeverity severity, const char* message) override {
        if (severity >= sevWarning) fprintf(stderr, "%s%s\n", SeverityPrefix(severity), message);
    }
};

struct Timing {
    double analysis = 1e100, baseline = 1e100, analysisCpu = 1e100, baselineCpu = 1e100;
};

} // namespace

int main(int argc, char** argv) {
    bool small = false;
    std::string only;
    std::vector<const char*> positional;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--small") == 0)
            small = true;
        else if (strncmp(argv[i], "--only=", 7) == 0)
            only = argv[i] + 7;
        else
            positional.push_back(argv[i]);
    }
    uint64_t totalMB = positional.size() > 0 ? strtoull(positional[0], nullptr, 10) : 300;
    int reps = positional.size() > 1 ? atoi(positional[1]) : 3;
    int cores = std::max(1, int(std::thread::hardware_concurrency()));
    QuietLogger quiet;
    g_logger = &quiet;

    char pattern[] = "/tmp/bench_analyze_XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string root = pattern;
    double start = Now();
    Generated gen = Generate(root, totalMB << 20, small);
    uint64_t onDisk = 0;
    for (const std::string& path : gen.paths) onDisk += SizeOfFile(path);
    printf("generated %zu archives, %d entries in %.1f s: %.1f MB on disk; contents %.1f MB "
           "(text %.1f, random %.1f; stored %.1f, deflated %.1f)\n",
           gen.paths.size(), gen.entries, Now() - start, onDisk / 1e6,
           (gen.storedBytes + gen.deflatedContents) / 1e6, gen.textBytes / 1e6, gen.randomBytes / 1e6,
           gen.storedBytes / 1e6, gen.deflatedContents / 1e6);
    printf("machine: %d hardware threads (shared with other work: best of %d runs)\n", cores, reps);

    std::vector<int> threadCounts = {1};
    if (cores > 1) threadCounts.push_back(cores);
    std::vector<Timing> timings(threadCounts.size());
    uint64_t analysisChecksum = 0, baselineChecksum = 0;
    for (int rep = 0; rep < reps; rep++) {
        for (size_t k = 0; k < threadCounts.size(); k++) {
            int threads = threadCounts[k];
            double t0 = Now(), c0 = CpuNow();
            Manifest manifest;
            if (only != "baseline") manifest = AnalyzeZips(root, gen.paths, false, threads, nullptr);
            double t1 = Now(), c1 = CpuNow();
            std::vector<Digests> digests(gen.paths.size());
            if (only != "analysis")
                ForEachArchive(gen.paths.size(), threads,
                               [&](size_t i) { BaselineOne(gen.paths[i], digests[i]); });
            double t2 = Now(), c2 = CpuNow();
            timings[k].analysis = std::min(timings[k].analysis, t1 - t0);
            timings[k].baseline = std::min(timings[k].baseline, t2 - t1);
            timings[k].analysisCpu = std::min(timings[k].analysisCpu, c1 - c0);
            timings[k].baselineCpu = std::min(timings[k].baselineCpu, c2 - c1);
            analysisChecksum = baselineChecksum = 0;
            for (const FileMetainfo& f : manifest) analysisChecksum += DigestWord(f.contentsHash);
            for (const Digests& d : digests) baselineChecksum += d.checksum;
            if (!only.empty()) continue;
            if (manifest.size() != gen.entries || analysisChecksum != baselineChecksum) {
                fprintf(stderr, "analysis and baseline disagree\n");
                return 1;
            }
        }
    }
    printf("%-8s %11s %11s %7s %10s | %10s %10s %7s\n", "threads", "analysis s", "baseline s", "ratio",
           "MB/s", "cpu anal.", "cpu base.", "ratio");
    for (size_t k = 0; k < threadCounts.size(); k++) {
        const Timing& t = timings[k];
        printf("%-8d %11.3f %11.3f %7.3f %10.1f | %10.3f %10.3f %7.3f\n", threadCounts[k], t.analysis,
               t.baseline, t.analysis / t.baseline, onDisk / 1e6 / t.analysis, t.analysisCpu, t.baselineCpu,
               t.analysisCpu / t.baselineCpu);
    }
    if (threadCounts.size() > 1)
        printf("scaling 1 -> %d threads: analysis %.2fx, baseline %.2fx\n", cores,
               timings[0].analysis / timings[1].analysis, timings[0].baseline / timings[1].baseline);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
