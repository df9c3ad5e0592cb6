#include "InstallerWorld.h"

#include "ScopedEnv.h"
#include "TempDir.h"
#include "zip/ChecksummedZip.h"
#include "zip/IniFile.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <stdlib.h>

namespace fs = std::filesystem;

namespace {

const char* const VERSIONS[] = {"1.0", "2.0", "2.1"};
// The only archive of 2.1 that its own directory on the server holds.
const char* const PATCH_ARCHIVE = "qmh_patch.pk4";

void Run(const std::string& command) {
    if (RunShellCommand(command) != 0) throw std::runtime_error("failed: " + command);
}

// The Linux tool publishes the game, also for the Windows tests.
std::string Zipsync() {
    return TESTS_LINUX_ZIPSYNC;
}

#ifdef _WIN32
// Windows players get the Windows binaries in the shared archive, and the installer's own
// build under its Windows names.
const char* const GAME_PLATFORM = "--windows";
const char* const INSTALLER_PAYLOAD = "qmh_installer.exe";
#else
const char* const GAME_PLATFORM = "";
const char* const INSTALLER_PAYLOAD = "qmh_installer.linux64";
#endif

ZipSync::Manifest ReadManifest(const std::string& path) {
    ZipSync::Manifest manifest;
    manifest.LoadFromIni(ZipSync::ReadIniFile(path), "/install");
    return manifest;
}

// The package a publisher gives the files of an archive: "fm_<name>" for a mission under fms/
// (its folder, or its archive's name without extension), "qmh_core" for the rest.
std::string PackageOf(const std::string& zipRel) {
    if (zipRel.compare(0, 4, "fms/") != 0) return "qmh_core";
    std::string rest = zipRel.substr(4);
    size_t end = rest.find('/');
    return "fm_" + (end != std::string::npos ? rest.substr(0, end) : fs::path(rest).stem().string());
}

// Analyses the whole version into tree/manifest.iniz, labelling every file with its package;
// for 2.1 then keeps only its patch archive and marks every other file absent.
void Publish(InstallerWorld& world, const std::string& version) {
    std::string tree = world.www + "/zipsync/" + version;
    fs::copy(world.versions + "/" + version, tree, fs::copy_options::recursive);
    Run(Zipsync() + " -q normalize '" + tree + "'");
    Run(Zipsync() + " -q analyze -j 1 '" + tree + "'");
    ZipSync::Manifest full = ReadManifest(tree + "/manifest.iniz");
    for (ZipSync::FileMetainfo& file : full) file.package = PackageOf(file.zipPath.rel);
    ZipSync::WriteIniFile(tree + "/manifest.iniz", full.SaveToIni());
    fs::create_directories(world.dir + "/full");
    fs::copy_file(tree + "/manifest.iniz", world.FullManifestPath(version));
    if (version == "2.1") {
        ZipSync::Manifest differential = full;
        for (ZipSync::FileMetainfo& file : differential) {
            if (file.zipPath.rel == PATCH_ARCHIVE) continue;
            file.byterange[0] = file.byterange[1] = 0;
            file.location = ZipSync::FileLocation::Absent;
        }
        ZipSync::WriteIniFile(tree + "/manifest.iniz", differential.SaveToIni());
        for (const std::string& rel : world.Archives(version))
            if (rel != PATCH_ARCHIVE) fs::remove(tree + "/" + rel);
    }
    world.fullManifests.push_back({version, std::move(full)});
}

std::unique_ptr<InstallerWorld> MakeWorld() {
    auto world = std::make_unique<InstallerWorld>();
    static TempDir scratch("qmhworld");
    world->dir = scratch.path();
#ifndef _WIN32
    fs::permissions(world->dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
#endif
    world->www = world->dir + "/www";
    world->versions = world->dir + "/versions";
    world->infoZip = world->dir + "/infozip/1.0";
    world->user = world->dir + "/user";
    Run("python3 '" TESTS_SOURCE_DIR "/support/make_installer_game.py' '" + world->dir + "' " +
        GAME_PLATFORM);
    fs::create_directories(world->www + "/zipsync");
    for (const char* version : VERSIONS) Publish(*world, version);
    world->nginx = std::make_unique<NginxServer>(world->www, NginxServer::Options{true});
    fs::copy_file(world->nginx->CaFile(), world->CaFile());
    world->PublishConfig(world->DefaultConfig());
    return world;
}

} // namespace

const InstallerWorld& GetInstallerWorld() {
    static std::unique_ptr<InstallerWorld> world = MakeWorld();
    return *world;
}

std::string InstallerWorld::OfficialServer() const {
    return "https://127.0.0.1:" + std::to_string(nginx->httpsPort());
}

std::vector<std::string> InstallerWorld::Environment() const {
    return {"QMH_UPDATE_SERVER=" + OfficialServer(), "QMH_EXTRA_CA_FILE=" + CaFile()};
}

void InstallerWorld::SetEnvironment() const {
    SetEnvVar("QMH_UPDATE_SERVER", OfficialServer().c_str());
    SetEnvVar("QMH_EXTRA_CA_FILE", CaFile().c_str());
}

std::string InstallerWorld::TrustedRoot() const {
    return "http://127.0.0.1:" + std::to_string(nginx->httpsPort()) + "/";
}

std::string InstallerWorld::MirrorRoot() const {
    return nginx->HttpUrl("");
}

std::vector<std::string> InstallerWorld::Archives(const std::string& version) const {
    std::vector<std::string> result;
    std::string root = versions + "/" + version;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) result.push_back(fs::relative(entry.path(), root).generic_string());
    std::sort(result.begin(), result.end());
    return result;
}

const ZipSync::Manifest& InstallerWorld::FullManifest(const std::string& version) const {
    for (const auto& pair : fullManifests)
        if (pair.first == version) return pair.second;
    throw std::runtime_error("no version " + version);
}

std::string InstallerWorld::PublishedManifest(const std::string& version) const {
    return www + "/zipsync/" + version + "/manifest.iniz";
}

std::string InstallerWorld::FullManifestPath(const std::string& version) const {
    return dir + "/full/" + version + ".iniz";
}

std::string InstallerWorld::DefaultConfig(const std::string& extraSections) const {
    return "[Mirror official]\nurl=" + TrustedRoot() +
           "\nweight=0\nhidden=1\n\n"
           "[Mirror riverside]\nurl=" +
           MirrorRoot() +
           "\nweight=1\n\n"
           "[Version 1.0]\nfolder=Release/Old\nmanifestUrl=${MIRROR}zipsync/1.0/manifest.iniz\n\n"
           "[Version 2.0]\nfolder=Release\ndefault=1\nmanifestUrl=${MIRROR}zipsync/2.0/manifest.iniz\n\n"
           "[Version 2.1]\nfolder=Beta\nmanifestUrl=${MIRROR}zipsync/2.1/manifest.iniz\ndepends=2.0\n\n" +
           extraSections;
}

void InstallerWorld::PublishConfig(const std::string& text) const {
    WriteTestFile(www + "/zipsync/qmh_installer.ini", text);
}

void InstallerWorld::PublishInstaller(const std::string& payload) const {
    ZipSync::WriteChecksummedZip(www + "/zipsync/" + INSTALLER_PAYLOAD + ".zip", payload.data(),
                                 payload.size(), INSTALLER_PAYLOAD);
}

uint64_t RequestedArchiveBytes(const NginxServer& nginx) {
    uint64_t bytes = 0;
    for (const NginxServer::LogEntry& entry : nginx.AccessLog()) {
        if (entry.uri.find(".pk4") == std::string::npos && entry.uri.find(".zip") == std::string::npos)
            continue;
        EXPECT_EQ(entry.range.compare(0, 6, "bytes="), 0) << entry.uri << " fetched whole";
        std::stringstream parts(entry.range.substr(6));
        std::string part;
        while (std::getline(parts, part, ','))
            bytes += std::stoull(part.substr(part.find('-') + 1)) + 1 - std::stoull(part);
    }
    return bytes;
}
