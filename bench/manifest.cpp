// Times the manifest operations on a large generated manifest (default 1,000,000 entries in 50
// zips): copy, Select, Merge, Rebase, SaveToIni, the INI text round trip and LoadFromIni.
// Usage: build/bench/manifest [entries]
#include "zip/Manifest.h"

#include <chrono>
#include <stdio.h>
#include <stdlib.h>

using namespace ZipSync;

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

template <class F> void Measure(const char* what, F&& body) {
    double start = Now();
    body();
    printf("%-28s %8.3f s\n", what, Now() - start);
    fflush(stdout);
}

Manifest Generate(int count) {
    Manifest manifest;
    manifest.reserve(count);
    const int zips = 50;
    for (int i = 0; i < count; i++) {
        FileMetainfo f;
        int zip = i % zips;
        f.zipPath =
            PathAR::FromRel("data/assets" + std::to_string(zip) + ".pk4", "/home/user/games/quillmere");
        f.filename = "textures/level" + std::to_string(i / 1000) + "/surface_" + std::to_string(i) + ".tga";
        f.location = FileLocation::Local;
        f.byterange[0] = (uint32_t)(i / zips) * 1000u;
        f.byterange[1] = f.byterange[0] + 900;
        f.lastModTime = 0x52A16000u + i;
        f.compressionMethod = 8;
        f.compressedSize = 850;
        f.contentsSize = 2000 + i % 100;
        f.crc32 = (uint32_t)i * 2654435761u;
        for (int b = 0; b < 32; b++) {
            f.contentsHash.data[b] = (uint8_t)((i >> (b % 4 * 8)) + b);
            f.compressedHash.data[b] = (uint8_t)((i >> (b % 4 * 8)) ^ b);
        }
        manifest.AppendFile(std::move(f));
    }
    return manifest;
}

} // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? atoi(argv[1]) : 1000000;
    printf("Manifest of %d entries, sizeof(FileMetainfo) = %zu\n", count, sizeof(FileMetainfo));
    Manifest manifest;
    Measure("generate", [&] { manifest = Generate(count); });
    Manifest copy;
    Measure("copy", [&] { copy = manifest; });
    Measure("Select (half)", [&] {
        Manifest half = manifest.Select([](const FileMetainfo& f) { return f.crc32 & 1; });
        printf("  selected %d\n", half.size());
    });
    Measure("Merge (copying)", [&] { copy.Merge(manifest); });
    Measure("Rebase to http root", [&] { manifest.Rebase("http://mirror.example.org/quillmere/2.12"); });
    IniData ini;
    Measure("SaveToIni", [&] { ini = manifest.SaveToIni(); });
    std::string text;
    Measure("FormatIniText", [&] { text = FormatIniText(ini); });
    printf("  text size %.1f MB\n", text.size() * 1e-6);
    IniData parsed;
    Measure("ParseIniText", [&] { parsed = ParseIniText(text); });
    Manifest loaded;
    Measure("LoadFromIni", [&] { loaded.LoadFromIni(parsed, "/home/user/games/quillmere"); });
    printf("loaded %d entries\n", loaded.size());
    return loaded.size() == count ? 0 : 1;
}
