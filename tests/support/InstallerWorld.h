// A published game for the installer's tests: the server side of an installation.
//
// GetInstallerWorld builds it once per process: make_installer_game.py writes versions 1.0,
// 2.0 and 2.1 of a small game (for the Windows tests with the Windows game binaries), the
// zipsync tool (Linux's, also for the Windows tests) normalises and analyses each version into
// www/zipsync/<version>/, every file labelled with its package (2.1 is published
// differentially: only its new archive lies there and its manifest marks the other files
// absent, to be fetched through its dependency 2.0), and one nginx serves www over HTTPS with
// a throw-away CA (the official server) and over HTTP on another port (the mirror
// "riverside"). www/zipsync/qmh_installer.ini describes the three versions; the official
// server is the hidden mirror "official" of weight 0, so that files come from the mirror while
// the target manifests come from the official server over TLS.
//
// The world lives until the process exits. Its directory is readable by everyone, so that an
// installer run as an unprivileged user can read the CA file and copy the player's files.
#pragma once

#include "NginxServer.h"
#include "zip/Manifest.h"

#include <memory>
#include <stdint.h>
#include <string>
#include <vector>

struct InstallerWorld {
    std::string dir;
    // The served tree: www/zipsync/<version>/ and the official server's files in www/zipsync/.
    std::string www;
    // Unpublished archives of each version as the script wrote them: versions/<version>/.
    std::string versions;
    // The archives of 1.0 written by Info-ZIP "zip -r": infozip/1.0/.
    std::string infoZip;
    // A player's own files: Quillmere.cfg, savegames/quick.save, zz_mymod.pk4 and
    // fms/other/qmh_fanmission.pk4 (none of them owned by the game).
    std::string user;
    std::unique_ptr<NginxServer> nginx;

    // "https://127.0.0.1:<port>": the value of QMH_UPDATE_SERVER.
    std::string OfficialServer() const;
    // The CA file to hand over as QMH_EXTRA_CA_FILE (readable by everyone).
    std::string CaFile() const { return dir + "/ca.pem"; }
    // "QMH_UPDATE_SERVER=..." and "QMH_EXTRA_CA_FILE=..." for a child process.
    std::vector<std::string> Environment() const;
    // Sets both variables in this process.
    void SetEnvironment() const;

    // The official server's root as the configuration writes trusted URLs: "http://127.0.0.1:<https port>/".
    std::string TrustedRoot() const;
    // The mirror's root: "http://127.0.0.1:<http port>/".
    std::string MirrorRoot() const;

    // The archives of a version relative to the install directory, sorted.
    std::vector<std::string> Archives(const std::string& version) const;
    // The full manifest of a version (2.1 included: every file present), relative paths.
    const ZipSync::Manifest& FullManifest(const std::string& version) const;
    // Path of the published manifest of a version.
    std::string PublishedManifest(const std::string& version) const;
    // A manifest file of the whole version, every file present (differs from the published one
    // for 2.1), with paths relative to an installation.
    std::string FullManifestPath(const std::string& version) const;

    // The default configuration text, followed by extraSections.
    std::string DefaultConfig(const std::string& extraSections = "") const;
    // Writes www/zipsync/qmh_installer.ini.
    void PublishConfig(const std::string& text) const;
    // Publishes payload as the installer's checksummed zip "qmh_installer.linux64.zip" (Windows:
    // "qmh_installer.exe.zip").
    void PublishInstaller(const std::string& payload) const;

    std::vector<std::pair<std::string, ZipSync::Manifest>> fullManifests;
};

const InstallerWorld& GetInstallerWorld();

// Bytes of the archive ranges requested from nginx so far (manifest and installer requests left
// out); an archive fetched whole fails the test.
uint64_t RequestedArchiveBytes(const NginxServer& nginx);
