// Times the update plan on a large synthetic update (default 1,000,000 target files in 50 zips
// and as many provided files): the UpdateSequence taking the manifests in, and its Plan (the
// plan with its statistics).
// Prints wall and CPU times (the machine may be shared), the resident set and its high-water mark
// after each step, and the minor page faults so far.
//
// The provided manifest models an installation one version behind the target: 60% of the
// target files sit in place at their offsets, 20% in place at shifted offsets, 8% under another
// name in another local zip, and 12% only on a mirror. The mirror part follows the local part.
// Usage: build/bench/plan [--scattered] [targets]
#include "update/UpdateSequence.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

using namespace ZipSync;

namespace {

const char ROOT[] = "/home/user/games/quillmere";
const char MIRROR[] = "http://mirror.example.org/quillmere/2.12";
const int ZIPS = 50;

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// CPU time of this thread: the machine may be shared, and the wall time then says little.
double CpuNow() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + 1e-9 * now.tv_nsec;
}

double PeakMegabytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0; // kilobytes on Linux
}

// The resident set now, from /proc/self/statm (pages).
double ResidentMegabytes() {
    long pages = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm) {
        if (fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(statm);
    }
    return resident * (double)sysconf(_SC_PAGESIZE) / (1024.0 * 1024.0);
}

long MinorFaults() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

uint64_t SplitMix(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

HashDigest RandomDigest(uint64_t& state) {
    HashDigest digest;
    for (int i = 0; i < 32; i += 8) {
        uint64_t word = SplitMix(state);
        for (int b = 0; b < 8; b++) digest.data[i + b] = (uint8_t)(word >> (8 * b));
    }
    return digest;
}

std::string ZipRel(int zip) {
    return "data/assets" + std::to_string(zip) + ".pk4";
}

// The target version: files sorted by zip and name, as a manifest read from INI lists them.
// About 1% of the files repeat the contents of the file before them.
Manifest GenerateTarget(int count, uint64_t& rng) {
    Manifest target;
    target.reserve(count);
    int perZip = (count + ZIPS - 1) / ZIPS;
    for (int i = 0; i < count; i++) {
        FileMetainfo f;
        int zip = i / perZip;
        int inZip = i % perZip;
        f.zipPath = PathAR::FromRel(ZipRel(zip), MIRROR);
        f.filename =
            "textures/level" + std::to_string(inZip / 1000) + "/surface_" + std::to_string(i) + ".tga";
        f.location = FileLocation::Remote;
        f.byterange[0] = (uint32_t)inZip * 1000u;
        f.byterange[1] = f.byterange[0] + 900;
        f.lastModTime = 0x52A16000u + i;
        f.compressionMethod = 8;
        f.compressedSize = 850;
        f.contentsSize = 2000 + i % 100;
        f.crc32 = (uint32_t)SplitMix(rng);
        if (i > 0 && SplitMix(rng) % 100 == 0) {
            f.contentsHash = target[i - 1].contentsHash;
            f.compressedHash = target[i - 1].compressedHash;
        } else {
            f.contentsHash = RandomDigest(rng);
            f.compressedHash = RandomDigest(rng);
        }
        target.AppendFile(std::move(f));
    }
    return target;
}

// The local part lists the files zip by zip, in an order within each zip unrelated to the
// target's (a central directory is not sorted by name), with the names allocated in that order
// as analysis or INI loading leaves them. With scattered set, the files are shuffled across all
// zips and keep their names where they were allocated: the worst layout for the caches.
void GenerateProvided(const Manifest& target, bool scattered, uint64_t& rng, Manifest& provided,
                      Manifest& remote) {
    int count = target.size();
    Manifest local;
    local.reserve(count);
    std::vector<int> zipOf;
    for (int i = 0; i < count; i++) {
        FileMetainfo f = target[i];
        int kind = (int)(SplitMix(rng) % 100);
        if (kind >= 88) {
            remote.AppendFile(std::move(f));
            continue;
        }
        int zip = i * ZIPS / count;
        f.location = FileLocation::Local;
        if (kind >= 60 && kind < 80) {
            f.byterange[0] += 37;
            f.byterange[1] += 37;
        } else if (kind >= 80) {
            zip = (i * 7 + 3) % ZIPS;
            f.filename = "old/" + f.filename;
        }
        f.zipPath = PathAR::FromRel(ZipRel(zip), ROOT);
        local.AppendFile(std::move(f));
        zipOf.push_back(zip);
    }
    std::vector<std::pair<uint64_t, int>> order;
    for (int i = 0; i < local.size(); i++) {
        uint64_t key = SplitMix(rng) >> 8;
        if (!scattered) key |= (uint64_t)zipOf[i] << 56;
        order.emplace_back(key, i);
    }
    std::sort(order.begin(), order.end());
    provided.reserve(count);
    for (const auto& item : order) {
        if (scattered) {
            provided.AppendFile(std::move(local[item.second]));
        } else {
            provided.AppendFile(local[item.second]);
        }
    }
}

void Report(const char* what, double seconds, double cpuSeconds) {
    printf("%-34s %7.3f s (CPU %7.3f s)   RSS %7.1f MB, peak %7.1f MB   minor faults %ld\n", what, seconds,
           cpuSeconds, ResidentMegabytes(), PeakMegabytes(), MinorFaults());
    fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    bool scattered = argc > 1 && std::string(argv[1]) == "--scattered";
    int count = argc > 1 + scattered ? atoi(argv[1 + scattered]) : 1000000;
    uint64_t rng = 12345;
    printf("Plan of %d target files against %d provided files (sizeof(FileMetainfo) = %zu), %s layout\n",
           count, count, sizeof(FileMetainfo), scattered ? "scattered" : "realistic");
    // Times one step in wall-clock and CPU seconds and reports it.
    auto measure = [](const char* what, auto&& step, double* wall = nullptr, double* cpu = nullptr) {
        double start = Now(), cpuStart = CpuNow();
        step();
        double seconds = Now() - start, cpuSeconds = CpuNow() - cpuStart;
        Report(what, seconds, cpuSeconds);
        if (wall) *wall = seconds;
        if (cpu) *cpu = cpuSeconds;
    };
    UpdateSources sources;
    sources.rootDir = ROOT;
    sources.currentSize = 0;
    measure("generate manifests", [&] {
        sources.target = GenerateTarget(count, rng);
        GenerateProvided(sources.target, scattered, rng, sources.local, sources.remote);
    });

    std::unique_ptr<UpdateSequence> update;
    double initTime, initCpu, planTime, planCpu;
    measure(
        "UpdateSequence (manifests moved in)",
        [&] { update = std::make_unique<UpdateSequence>(std::move(sources)); }, &initTime, &initCpu);
    bool complete = false;
    measure(
        "Plan ContentsOnly", [&] { complete = update->Plan(UpdateType::ContentsOnly); }, &planTime, &planCpu);
    Report("UpdateSequence + Plan", initTime + planTime, initCpu + planCpu);
    UpdateStats stats = update->Stats();
    bool completeBitwise = false;
    measure("Plan BitwiseExact (again)", [&] { completeBitwise = update->Plan(UpdateType::BitwiseExact); });
    const UpdateProcess& process = update->Process();
    std::unique_ptr<UpdateSequence> copying;
    measure("UpdateSequence (manifests copied, for scale)", [&] {
        UpdateSources copies;
        copies.rootDir = ROOT;
        copies.currentSize = 0;
        copies.target = process.GetTargetManifest();
        copies.local = process.GetProvidedManifest();
        copying = std::make_unique<UpdateSequence>(std::move(copies));
    });

    int inPlace = 0, local = 0, remote = 0;
    for (const FileMatch& match : process.GetMatches()) {
        FileLocation location = match.provided->location;
        inPlace += location == FileLocation::InPlace;
        local += location == FileLocation::Local;
        remote += location == FileLocation::Remote;
    }
    printf("complete %d/%d; providers: in place %d, local %d, remote %d\n", complete, completeBitwise,
           inPlace, local, remote);
    printf("final %llu, added %llu, download %llu, missing %llu\n", (unsigned long long)stats.finalSize,
           (unsigned long long)stats.addedSize, (unsigned long long)stats.downloadSize,
           (unsigned long long)stats.missingSize);
    return complete && completeBitwise ? 0 : 1;
}
