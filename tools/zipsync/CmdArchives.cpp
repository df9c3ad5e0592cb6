// normalize, hash, pack and unpack: commands on single archive files.
#include "Commands.h"
#include "Console.h"
#include "ToolPaths.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Utils.h"
#include "zip/ChecksummedZip.h"
#include "zip/ZipUtils.h"

#include <stdio.h>

namespace ZipSyncCli {

using namespace ZipSync;

static int RunNormalize(const ParsedArgs& args, Console& console) {
    std::string output = args.Get("output");
    std::vector<std::string> archives;
    for (const std::string& arg : args.positional) {
        std::string path = AbsolutePath(arg);
        if (GetFileKind(path, true) == FileKind::Directory) {
            if (!output.empty()) throw UsageError("-o needs a single archive, not a directory");
            std::vector<std::string> found = CollectArchives(path);
            archives.insert(archives.end(), found.begin(), found.end());
        } else {
            RefuseNonRegularFile(path, lcCantOpenFile);
            if (!IfFileExists(path))
                g_logger->errorf(lcCantOpenFile, "Failed to open zip file \"%s\"", path.c_str());
            archives.push_back(path);
        }
    }
    if (!output.empty() && archives.size() != 1) throw UsageError("-o needs exactly one archive");
    for (size_t i = 0; i < archives.size(); i++) {
        console.Update((double)i / archives.size(),
                       FormatString("Normalizing \"%s\"...", archives[i].c_str()));
        std::string target = output.empty() ? archives[i] : AbsolutePath(output);
        try {
            ErrorsReportedByCaller reportedHere;
            NormalizeZip(archives[i], output.empty() ? "" : target);
        } catch (const ErrorException& e) {
            console.EndProgress();
            g_logger->errorf(e.code, "%s in archive %s", e.what(), archives[i].c_str());
        }
        g_logger->infof("Normalized %s", target.c_str());
    }
    console.EndProgress();
    if (archives.empty()) g_logger->warningf("No archives (.pk4, .zip) found");
    return 0;
}

Command CommandNormalize() {
    return {"normalize",
            "rewrite archives into the engine's normal form, in place",
            "zipsync normalize [-o OUT] ZIP|DIR...",
            "Rewrites each archive into the normal form that analysis accepts: entries sorted by name,\n"
            "no directory entries, no extra fields or comments, version made by 0. Compressed bytes,\n"
            "CRCs and sizes stay as they are. A directory stands for every .pk4 and .zip below it.\n"
            "With -o the single archive given is written to OUT and left unchanged itself.",
            {{'o', "output", "OUT", false, "write the normalized archive to OUT (one archive only)"}},
            1,
            -1,
            RunNormalize};
}

static int RunHash(const ParsedArgs& args, Console& console) {
    HashDigest digest = ReadChecksummedZipHash(args.positional[0]);
    console.Result("%s", digest.Hex().c_str());
    return 0;
}

Command CommandHash() {
    return {"hash",
            "print the digest stored in a checksummed zip",
            "zipsync hash FILE.iniz",
            "Prints the BLAKE2s digest (64 hex digits) that the checksummed zip FILE carries for its\n"
            "payload, as the installer reads it from the first bytes of a remote file. The payload\n"
            "itself is not checked; 'zipsync unpack' does that.",
            {},
            1,
            1,
            RunHash};
}

// The payload name a file gets by default: INI text is always "data.ini", which is where the
// engine's readers look for it; anything else keeps its own file name.
static std::string DefaultPayloadName(const std::string& payloadPath) {
    std::string name = FsPathText(FsPath(payloadPath).filename());
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ini") == 0) return "data.ini";
    return name;
}

static int RunPack(const ParsedArgs& args, Console& console) {
    const std::string& payload = args.positional[0];
    const std::string& output = args.positional[1];
    std::string name = args.Get("name", DefaultPayloadName(payload));
    if (name.empty() || name == "hash.txt") throw UsageError("payload name '" + name + "' is not allowed");
    std::vector<uint8_t> data = ReadWholeFile(payload);
    WriteChecksummedZip(output, data.data(), data.size(), name);
    g_logger->infof("Packed %s as \"%s\" into %s, digest %s", payload.c_str(), name.c_str(), output.c_str(),
                    ReadChecksummedZipHash(output).Hex().c_str());
    return 0;
}

Command CommandPack() {
    return {"pack",
            "wrap a payload file into a checksummed zip",
            "zipsync pack [--name NAME] PAYLOAD OUT",
            "Writes OUT as a checksummed zip: \"hash.txt\" with the payload's BLAKE2s digest, then the\n"
            "payload, deflated. The same payload always gives the same bytes. The payload is stored as\n"
            "\"data.ini\" when PAYLOAD ends in .ini (so that manifest readers find it), otherwise under\n"
            "its own file name (e.g. qmh_installer.exe for the installer's self-update archive).",
            {{0, "name", "NAME", false, "store the payload under NAME"}},
            2,
            2,
            RunPack};
}

// Names of the payload entries of a checksummed zip: every entry but "hash.txt".
static std::vector<std::string> PayloadNames(const std::string& path) {
    UnzFileHolder zf(path);
    std::vector<std::string> names;
    int status = GoToFirstEntry(zf);
    while (status == UNZ_OK) {
        std::string name;
        unz_file_info64 info;
        GetCurrentFileInfo(zf, &info, &name);
        if (name != "hash.txt") names.push_back(name);
        status = GoToNextEntry(zf);
    }
    if (status != UNZ_END_OF_LIST_OF_FILE) CheckMinizip(status);
    return names;
}

static int RunUnpack(const ParsedArgs& args, Console& console) {
    const std::string& input = args.positional[0];
    const std::string& output = args.positional[1];
    std::string name = args.Get("name");
    if (name.empty()) {
        std::vector<std::string> names = PayloadNames(input);
        if (names.size() != 1)
            g_logger->errorf(lcGeneral, "Checksummed zip %s holds %d payload entries; choose one with --name",
                             input.c_str(), (int)names.size());
        name = names[0];
    }
    std::vector<uint8_t> data = ReadChecksummedZip(input, name);
    // An empty payload has no buffer at all, and fwrite must not be given a null pointer.
    auto write = [&data](FILE* file) {
        return data.empty() || fwrite(data.data(), 1, data.size(), file) == data.size();
    };
    if (output == "-") {
        ZipSyncAssert(write(stdout));
        fflush(stdout);
        return 0;
    }
    StdioFileHolder out(output, "wb");
    ZipSyncAssert(write(out));
    if (out.reset() != 0) g_logger->errorf(lcGeneral, "Failed to write file \"%s\"", output.c_str());
    g_logger->infof("Unpacked \"%s\" (%zu bytes, digest verified) to %s", name.c_str(), data.size(),
                    output.c_str());
    return 0;
}

Command CommandUnpack() {
    return {"unpack",
            "check and extract the payload of a checksummed zip",
            "zipsync unpack [--name NAME] IN OUT",
            "Reads the payload of the checksummed zip IN, checks it against the stored digest and\n"
            "writes it to OUT ('-' for standard output). Fails, writing nothing, when the payload\n"
            "does not match its digest.",
            {{0, "name", "NAME", false, "the payload entry to extract (needed only when IN holds several)"}},
            2,
            2,
            RunUnpack};
}

} // namespace ZipSyncCli
