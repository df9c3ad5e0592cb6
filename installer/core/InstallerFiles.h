// The installer's own files in the install directory, which no installation may replace.
//
// Beside the game's archives the install directory (the working directory) holds the installer
// and what it keeps there: its executable, under the name it was started with, with the
// temporary files of its self-update and restart; its configuration; the installation's
// manifest; its log files; the probe file of the directory check; and the state folder
// ".zipsync". A published version names archives and loose files by paths relative to the
// install directory: each is checked against this list before anything is written.
#pragma once

#include <stdint.h>
#include <string>

// Relative to the install directory.
static const char* const CONFIG_FILE = "qmh_installer.ini";
static const char* const MANIFEST_FILE = "manifest.iniz";
static const char* const PERMISSIONS_PROBE = "__permissions_test";
static const char* const STATE_DIR = ".zipsync";
// Appended to the executable's name: the self-update's new build, its downloaded checksummed
// zip, and the restart script (ReplaceAndRestartExecutable).
static const char* const TEMP_EXE_SUFFIX = ".__temp__";
static const char* const TEMP_ZIP_SUFFIX = ".__temp__.zip";
static const char* const RESTART_SCRIPT_SUFFIX = "__temp__.sh";

// The most bytes the configuration may hold, read from the install directory or downloaded.
static const uint64_t MAX_CONFIG_FILE_SIZE = uint64_t(4) << 20;
// The most bytes a published build of the installer may have.
static const uint64_t MAX_INSTALLER_SIZE = uint64_t(256) << 20;

// What relPath ('/' separators, no "." or empty components, as manifests and archives give it)
// is when it is one of the installer's own files: "the installer's executable", "a temporary
// file of the installer's self-update", "the installer's configuration", "the installation's
// manifest", "a log file of the installer", "the probe file of the directory check" or "the
// installer's state folder" (".zipsync" and everything below it). Empty for any other path.
// Names compare exactly, as the file system does. The executable counts once the entry point
// has saved its name (SetArgv0).
std::string DescribeInstallerFile(const std::string& relPath);
