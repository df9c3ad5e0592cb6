// Faults injected into an update of a real installation, driven through the installer's
// unattended run as the unprivileged user "nobody": 1.0 is installed, then the update to 2.0
// meets a server that dies mid-transfer, a corrupted entry, a manifest that is not found, a
// server slower than the low-speed limit, a full disk, and SIGKILL at many points. Each fault
// ends with exit code 3 (or the kill), 1.0 still installed and valid, and the next run without
// the fault reaches 2.0. Fresh, repaired or rerun after a kill, an installation saves the
// manifest published for its version.
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "FaultServer.h"
#include "GameFixture.h"
#include "InstallerRun.h"
#include "InstallerWorld.h"
#include "TempDir.h"
#include "TemporaryFileNames.h"
#include "ZipFixture.h"

#include "GuiInit.h"
#include "GuiLayout.h"
#include "GuiPageSettings.h"
#include "GuiUtils.h"
#include "InstallerDownloader.h"
#include "Unattended.h"
#include "net/Downloader.h"
#include "update/TemporaryFiles.h"
#include "zip/IniFile.h"
#include "zip/ZipUtils.h"

#include <algorithm>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <random>
#include <set>
#include <signal.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace ZipSync;

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A tmpfs of 64 MiB of its own, unmounted when it goes.
struct Tmpfs {
    TempDir mountPoint{"qmhtmpfs"};
    int status = mount("tmpfs", mountPoint.path().c_str(), "tmpfs", 0, "size=64m,mode=0777");
    ~Tmpfs() {
        if (status == 0) umount2(mountPoint.path().c_str(), MNT_DETACH);
    }
};

class FaultInjection : public testing::Test {
protected:
    void SetUp() override {
        if (!CanDropPrivileges()) GTEST_SKIP() << "needs root to become nobody";
        // The fault server serves the published versions at /<mode>/zipsync/...
        fs::create_directory_symlink(World().www + "/zipsync", faults.Root() + "/zipsync");
    }

    // Installs 1.0 into the install directory with the installer program and checks it.
    void InstallOld() {
        installer.CopyProgram();
        ASSERT_EQ(Run({"--version", "1.0"}), 0) << Output();
        ASSERT_TRUE(Holds("1.0"));
    }
    int Run(const std::vector<std::string>& args, double killAfter = 0) {
        return installer.Run(args, killAfter);
    }

    // The same run inside a forked copy of this test, as "nobody", with the test seams set by
    // seams: for faults that only an in-process seam can stage. Returns the exit code.
    int RunInProcess(std::vector<std::string> args, const std::function<void()>& seams) {
        std::string dir = installer.installDir, output = installer.outputPath;
        std::vector<std::string> env = World().Environment();
        int status = RunInChild([&] {
            if (!freopen(output.c_str(), "w", stdout) || chdir(dir.c_str()) != 0) _exit(99);
            for (const std::string& entry : env) putenv(strdup(entry.c_str()));
            setenv("HOME", dir.c_str(), 1);
            struct passwd* nobody = getpwnam("nobody");
            struct group* nogroup = getgrnam("nogroup");
            if (!nobody || !nogroup || setgroups(0, nullptr) != 0 || setgid(nogroup->gr_gid) != 0 ||
                setuid(nobody->pw_uid) != 0)
                _exit(98);
            seams();
            g_headless = true;
            BuildMainWindow();
            InitMainWindow();
            std::vector<std::string> all = {"qmh_installer", "--unattended"};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& arg : all) argv.push_back(arg.data());
            argv.push_back(nullptr);
            RunUnattended(int(all.size()), argv.data());
        });
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Copies the installation onto the file system mounted at dir (a Tmpfs) and goes on there,
    // without the installer's program: from here on the installer runs inside forked copies of
    // this test.
    void MoveInstallationTo(const std::string& dir) {
        fs::remove(installer.installDir + "/qmh_installer");
        ASSERT_EQ(RunShellCommand("cp -a '" + installer.installDir + "/.' '" + dir + "/'"), 0);
        installer.installDir = dir;
        GiveToUnprivilegedUser(installer.installDir);
    }

    std::string Output() const { return installer.Output(); }
    bool Holds(const std::string& version) const { return installer.Holds(version); }
    // The mirror served by the fault server in mode.
    void UseMirror(const std::string& mode, const std::string& extraSections = "") const {
        installer.WriteConfig(faults.Url(mode, ""), extraSections);
    }
    // The fault ended the run with exit code 3 and the message, and left 1.0 as it was.
    void ExpectFailedAndOldIntact(int code, const std::string& message) {
        EXPECT_EQ(code, 3) << Output();
        EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: " + message)) << Output();
        EXPECT_TRUE(Holds("1.0")) << message;
        EXPECT_EQ(TemporaryFileNames(installer.installDir), std::vector<std::string>{}) << message;
    }
    void ExpectUpdatedOnceTheFaultIsGone() {
        UseMirror("ok");
        EXPECT_EQ(Run({"--skip-config-download", "--version", "2.0"}), 0) << Output();
        EXPECT_TRUE(Holds("2.0"));
        EXPECT_EQ(TemporaryFileNames(installer.installDir), std::vector<std::string>{});
    }

    static const InstallerWorld& World() { return GetInstallerWorld(); }

    FaultServer faults;
    TempDir dir{"qmhfaults"};
    InstallerRun installer{dir.path(), std::string("faults_") +
                                           testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// A copy of 2.0 published as version `name` with one byte flipped inside an entry that 1.0
// lacks, so that the update downloads it.
void PublishCorruptedCopy(const InstallerWorld& world, const std::string& name) {
    std::string published = world.www + "/zipsync/" + name;
    fs::remove_all(published);
    fs::copy(world.www + "/zipsync/2.0", published, fs::copy_options::recursive);
    std::set<std::string> old;
    for (const FileMetainfo& file : world.FullManifest("1.0")) old.insert(file.compressedHash.Hex());
    for (const FileMetainfo& file : world.FullManifest("2.0")) {
        if (old.count(file.compressedHash.Hex()) || file.compressedSize < 16) continue;
        std::string archive = published + "/" + file.zipPath.rel;
        std::string bytes = ReadTestFile(archive);
        bytes[file.byterange[1] - file.compressedSize / 2] ^= 0x5A;
        WriteTestFile(archive, bytes);
        return;
    }
    FAIL() << "2.0 has no entry that 1.0 lacks";
}

} // namespace

TEST_F(FaultInjection, DyingServerCorruptEntryAndMissingManifestLeaveTheOldVersion) {
    InstallOld();
    std::string corrupted = "corrupt" + std::to_string(getpid());
    PublishCorruptedCopy(World(), corrupted);
    std::string versions = "[Version " + corrupted + "]\nfolder=Test\nmanifestUrl=${MIRROR}zipsync/" +
                           corrupted +
                           "/manifest.iniz\n\n[Version gone]\nfolder=Test\n"
                           "manifestUrl=${MIRROR}zipsync/gone/manifest.iniz\n";
    struct Case {
        std::string mode, version, message;
    } cases[] = {
        // Half of the body, then the connection closes.
        {"drop.pk4", "2.0", "Unexpected CURL error 18 on URL " + faults.Url("drop.pk4", "zipsync/2.0/")},
        {"ok", corrupted, "Hash of \""},
        {"ok", "gone",
         "Cannot handle nonworking URL " + World().OfficialServer() + "/zipsync/gone/manifest.iniz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode + " " + c.version);
        UseMirror(c.mode, versions);
        ExpectFailedAndOldIntact(Run({"--skip-config-download", "--version", c.version}), c.message);
    }
    fs::remove_all(World().www + "/zipsync/" + corrupted);
    ExpectUpdatedOnceTheFaultIsGone();
}

TEST_F(FaultInjection, ServerSlowerThanTheLowSpeedLimitRunsThroughTheTimeoutLadder) {
    InstallOld();
    UseMirror("slow.pk4");
    static TimeoutTable ladder = DefaultTimeoutTable();
    for (TimeoutLevel& level : ladder) level.lowSpeedTime = 1;
    int code = RunInProcess({"--skip-config-download", "--version", "2.0"}, [] {
        g_settingsAvailableSpace = [](const std::string&) { return uint64_t(100) << 30; };
        g_installerTimeoutTable = &ladder;
    });
    ExpectFailedAndOldIntact(code, "Repeated timeout on URL " + faults.Url("slow.pk4", "zipsync/2.0/"));
    // Five timeouts with ever smaller requests, the fifth gives up (other archives of the slow
    // mirror were in flight meanwhile and have timeouts of their own).
    std::string output = Output();
    std::string prefix = "Repeated timeout on URL ";
    size_t named = output.find(prefix);
    ASSERT_NE(named, std::string::npos) << output;
    std::string url = output.substr(named + prefix.size(), output.find('\n', named) - named - prefix.size());
    size_t timeouts = 0;
    for (size_t pos = output.find("Timeout for request"); pos != std::string::npos;
         pos = output.find("Timeout for request", pos + 1))
        timeouts += output.compare(output.find(" on URL ", pos) + 8, url.size() + 1, url + "\n") == 0;
    EXPECT_EQ(timeouts, 5u) << output;
    ExpectUpdatedOnceTheFaultIsGone();
}

// Where the disk fills up: once the progress bar shows a label that begins with the prefix.
struct FillPoint {
    Fl_Progress** bar;
    const char* labelPrefix;
};

// Fills the file system of the working directory with a file "filler" at the FillPoint given
// as data. Runs inside the installer's progress updates (FLTK's check callbacks).
void FillDiskAt(void* data) {
    static bool filled = false;
    const FillPoint* point = static_cast<const FillPoint*>(data);
    const char* label = (*point->bar)->label();
    if (filled || !label || std::string(label).rfind(point->labelPrefix, 0) != 0) return;
    filled = true;
    FILE* filler = fopen("filler", "wb");
    static char block[4096];
    while (filler && fwrite(block, 1, sizeof(block), filler) == sizeof(block) && fflush(filler) == 0) {
    }
    if (filler) fclose(filler);
}

TEST_F(FaultInjection, FullDiskDuringRepackLeavesTheOldVersion) {
    // The installation on a tmpfs of its own, which fills up during the download or the repack.
    // The update drops an archive of 1.0, fms/harborjob/map.pk4, whose entry exists nowhere else.
    InstallOld();
    std::vector<std::string> target = World().Archives("2.0");
    ASSERT_EQ(std::count(target.begin(), target.end(), "fms/harborjob/map.pk4"), 0);
    Tmpfs tmpfs;
    ASSERT_EQ(tmpfs.status, 0) << strerror(errno);
    ASSERT_NO_FATAL_FAILURE(MoveInstallationTo(tmpfs.mountPoint.path()));
    ASSERT_TRUE(Holds("1.0"));
    UseMirror("ok");
    std::vector<std::string> args = {"--skip-config-download", "--version", "2.0"};
    struct Case {
        FillPoint point;
        std::string file; // named by the failure, relative to the installation (or its start)
    } cases[] = {
        // Before the first transfer: its entry goes to the download journal (whichever of the
        // transfers in flight writes first).
        {{&downloadProgress, "Downloading: "}, ".zipsync/download/"},
        // When the repack writes its first zip. An old zip deleted as soon as nothing needs it
        // (map.pk4 here) would be gone by then.
        {{&repackProgress, "Repacking /"}, "__repacked__qmh_base.pk4"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.file);
        int code = RunInProcess(args, [&c] {
            g_settingsAvailableSpace = [](const std::string&) { return uint64_t(100) << 30; };
            Fl::add_check(FillDiskAt, &c.point);
        });
        EXPECT_TRUE(fs::exists(installer.installDir + "/filler"));
        fs::remove(installer.installDir + "/filler");
        // The failure names the file and the cause.
        ExpectFailedAndOldIntact(code, "Failed to write file \"" + installer.installDir + "/" + c.file);
        EXPECT_TRUE(Contains(Output(), "\": No space left on device\n")) << Output();
        EXPECT_FALSE(Contains(Output(), "Repacking finished")) << Output();
    }

    // The disk has room again: the same run succeeds.
    int code = RunInProcess(
        args, [] { g_settingsAvailableSpace = [](const std::string&) { return uint64_t(100) << 30; }; });
    EXPECT_EQ(code, 0) << Output();
    EXPECT_TRUE(Holds("2.0"));
    EXPECT_EQ(TemporaryFileNames(installer.installDir), std::vector<std::string>{});
}

namespace {

// A byte of an archive of the installation changed by another program while the installer runs:
// at the first repack report (before the first zip is written), once.
struct ChangePoint {
    std::string file;
    uint64_t offset;
};
void ChangeFileAtRepack(void* data) {
    static bool changed = false;
    const ChangePoint* point = static_cast<const ChangePoint*>(data);
    const char* label = repackProgress->label();
    if (changed || !label || std::string(label).rfind("Repacking /", 0) != 0) return;
    changed = true;
    std::string bytes = ReadTestFile(point->file);
    bytes[point->offset] ^= 0x20;
    WriteTestFile(point->file, bytes);
}

// The offset of a byte in the compressed data of an entry of the archive rel of 1.0 that 2.0
// keeps there (copied raw when the archive is rebuilt); its name.
std::pair<uint64_t, std::string> KeptEntryByte(const InstallerWorld& world, const std::string& rel) {
    std::set<std::string> kept;
    for (const FileMetainfo& file : world.FullManifest("2.0"))
        if (file.zipPath.rel == rel) kept.insert(file.compressedHash.Hex());
    for (const FileMetainfo& file : world.FullManifest("1.0"))
        if (file.zipPath.rel == rel && kept.count(file.compressedHash.Hex()))
            return {file.byterange[0] + 30 + file.filename.size() + file.compressedSize / 2, file.filename};
    ADD_FAILURE() << "no entry of " << rel << " stays";
    return {0, ""};
}

} // namespace

// An archive that another program changes while the installer runs: one that the repack copies
// from fails the run before any old archive is touched; one that it takes over by renaming fails
// the run once the rest is installed, and is left out of the recorded scan, so that the next run
// analyses it again instead of trusting the saved manifest. Either way the next run repairs it.
TEST_F(FaultInjection, ArchiveChangedDuringTheRunIsNeverTakenForSound) {
    InstallOld();
    UseMirror("ok");
    std::vector<std::string> args = {"--skip-config-download", "--version", "2.0"};
    auto [offset, entry] = KeptEntryByte(World(), "qmh_base.pk4");
    ChangePoint copied{installer.installDir + "/qmh_base.pk4", offset};
    int code = RunInProcess(args, [&copied] { Fl::add_check(ChangeFileAtRepack, &copied); });
    EXPECT_EQ(code, 3) << Output();
    EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: Wrong compressed bytes of " +
                                       installer.installDir + "/__repacked__qmh_base.pk4||" + entry +
                                       " after repack: " + installer.installDir +
                                       "/qmh_base.pk4 changed since it was analysed\n"))
        << Output();
    EXPECT_EQ(TemporaryFileNames(installer.installDir), std::vector<std::string>{});
    EXPECT_EQ(Run(args), 0) << Output();
    EXPECT_TRUE(Holds("2.0"));

    // Back to 1.0, then the same update with qmh_sounds.pk4 (the same in both) changed.
    ASSERT_EQ(Run({"--skip-config-download", "--version", "1.0"}), 0) << Output();
    ChangePoint renamed{installer.installDir + "/qmh_sounds.pk4",
                        KeptEntryByte(World(), "qmh_sounds.pk4").first};
    code = RunInProcess(args, [&renamed] { Fl::add_check(ChangeFileAtRepack, &renamed); });
    EXPECT_EQ(code, 3) << Output();
    EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: Archive qmh_sounds.pk4 changed while the "
                                   "installer ran, so the installation is not sound; start the "
                                   "installer again to repair it\n"))
        << Output();
    EXPECT_FALSE(Holds("2.0"));
    EXPECT_EQ(Run(args), 0) << Output();
    EXPECT_TRUE(Contains(Output(), "Perform scan because something changed since last run\n")) << Output();
    EXPECT_TRUE(Holds("2.0"));
}

// Too little free space for the update's peak: refused before anything is downloaded, naming
// what it needs and what there is.
TEST_F(FaultInjection, TooLittleFreeSpaceIsFoundBeforeTheDownload) {
    InstallOld();
    Tmpfs tmpfs;
    ASSERT_EQ(tmpfs.status, 0) << strerror(errno);
    ASSERT_NO_FATAL_FAILURE(MoveInstallationTo(tmpfs.mountPoint.path()));
    UseMirror("ok");
    // All but 256 KiB taken.
    struct statvfs disk;
    ASSERT_EQ(statvfs(installer.installDir.c_str(), &disk), 0);
    uint64_t available = uint64_t(disk.f_bavail) * disk.f_frsize;
    FILE* filler = fopen((installer.installDir + "/filler").c_str(), "wb");
    ASSERT_TRUE(filler);
    ASSERT_EQ(posix_fallocate(fileno(filler), 0, off_t(available - (256 << 10))), 0);
    fclose(filler);
    std::vector<std::string> args = {"--skip-config-download", "--version", "2.0"};
    auto settings = [] { g_settingsAvailableSpace = [](const std::string&) { return uint64_t(100) << 30; }; };
    ExpectFailedAndOldIntact(RunInProcess(args, settings),
                             "Not enough free space in the installation directory: ");
    EXPECT_TRUE(Contains(Output(), " MB needed, 0 MB available\n")) << Output();
    EXPECT_FALSE(Contains(Output(), "Starting installation: download")) << Output();
    fs::remove(installer.installDir + "/filler");
    EXPECT_EQ(RunInProcess(args, settings), 0) << Output();
    EXPECT_TRUE(Holds("2.0"));
}

// A FIFO where the update must write an archive, or where the scan saves the installation's
// manifest, is refused with a message that names it, without waiting on it and without deleting
// it. Opening it for reading or writing would block until another process opened its other end.
TEST_F(FaultInjection, FifoWhereAnArchiveOrTheManifestBelongsIsRefused) {
    InstallOld();
    UseMirror("ok");
    struct Case {
        const char* rel;
        const char* message; // %s: the absolute path
    } cases[] = {
        {"qmh_base.pk4", "Target zip %s is not a regular file (a FIFO)"},
        {"manifest.iniz", "%s is not a regular file (a FIFO)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rel);
        std::string path = installer.installDir + "/" + c.rel, saved = installer.installDir + "/saved";
        fs::rename(path, saved);
        ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
        // The kill timer turns a hang into a failure instead of stopping the suite.
        EXPECT_EQ(Run({"--skip-config-download", "--version", "2.0"}, 120), 3) << Output();
        std::string message = FormatString(c.message, path.c_str());
        EXPECT_TRUE(Contains(Output(), "Warning: Showing error message: " + message)) << Output();
        struct stat st;
        EXPECT_TRUE(stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
        EXPECT_EQ(TemporaryFileNames(installer.installDir), std::vector<std::string>{});
        // Everything else is as it was.
        fs::rename(saved, path);
        EXPECT_TRUE(Holds("1.0"));
    }
    ExpectUpdatedOnceTheFaultIsGone();
}

TEST_F(FaultInjection, KilledAtManyPointsTheUpdateStillCompletes) {
    InstallOld();
    UseMirror("ok");
    std::vector<std::string> args = {"--skip-config-download", "--version", "2.0"};
    // Kill points spread over a whole run, from a fixed seed so that a failure repeats.
    std::mt19937 random(20261209);
    std::uniform_real_distribution<double> delay(0.005, 0.2);
    int killed = 0;
    for (int attempt = 0; attempt < 8; attempt++) {
        double after = delay(random);
        int code = Run(args, after);
        if (code == 0) break; // the run finished before the kill: nothing more to break
        ASSERT_EQ(code, -1) << "after " << after << " s\n" << Output();
        killed++;
        // Every archive under its own name is whole, never a half-written one.
        for (const auto& entry : fs::recursive_directory_iterator(installer.installDir)) {
            std::string name = entry.path().filename().string();
            if (entry.path().extension() == ".pk4" && name.rfind("__", 0) != 0) {
                EXPECT_TRUE(IsCompleteZip(entry.path().string())) << name << " after " << after << " s";
            }
        }
    }
    EXPECT_GT(killed, 0);
    EXPECT_EQ(Run(args), 0) << Output();
    EXPECT_TRUE(Holds("2.0"));
    EXPECT_EQ(TemporaryFileNames(installer.installDir), std::vector<std::string>{});
}

namespace {

// Where a run is killed: once the label of *bar begins with label.
struct KillPoint {
    Fl_Progress** bar;
    const char* label;
};

// Ends the process as "kill -9" would at the kill point; runs inside the installer's progress
// updates (FLTK's check callbacks).
void KillAtPoint(void* data) {
    const KillPoint* point = static_cast<const KillPoint*>(data);
    const char* label = (*point->bar)->label();
    if (label && std::string(label).rfind(point->label, 0) == 0) raise(SIGKILL);
}

} // namespace

// Whatever way an installation reaches 2.0 (fresh, repaired after an archive was truncated, or
// rerun after a kill in the repack or the finalisation, each of which makes the rerun analyse
// the archives again), it saves the manifest published for it, byte for byte, packages included.
TEST_F(FaultInjection, EveryPathToAVersionSavesItsPublishedManifest) {
    std::string published = World().FullManifestPath("2.0");
    const struct {
        const char* name;
        const char* before;
        KillPoint kill;
    } cases[] = {
        {"fresh", nullptr, {nullptr, nullptr}},
        {"repair", "2.0", {nullptr, nullptr}},
        {"killed in the repack", "1.0", {&repackProgress, "Renamed "}},
        {"killed after the repack", "1.0", {&repackProgress, "Repacking finished"}},
        {"killed in the finalisation", "1.0", {&finalizeProgress, "Manifest saved"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir caseDir("qmhpaths");
        installer.installDir = caseDir.path();
        installer.CopyProgram();
        if (c.before) {
            ASSERT_EQ(Run({"--version", c.before}), 0) << Output();
        }
        if (c.kill.bar) {
            const KillPoint* point = &c.kill;
            ASSERT_EQ(
                RunInProcess({"--version", "2.0"}, [point] { Fl::add_check(KillAtPoint, (void*)point); }), -1)
                << Output();
        } else if (c.before) {
            DamageArchive(installer.installDir + "/qmh_base.pk4", Damage::Truncated);
        }
        ASSERT_EQ(Run({"--version", "2.0"}), 0) << Output();
        EXPECT_TRUE(Contains(Output(), "Analysing the archives")) << Output();
        EXPECT_TRUE(Holds("2.0"));
        std::string saved = installer.installDir + "/manifest.iniz";
        EXPECT_EQ(FormatIniText(ReadIniFile(saved)), FormatIniText(ReadIniFile(published)));
        EXPECT_TRUE(ReadTestFile(saved) == ReadTestFile(published));
    }
}
