#include "ManifestSource.h"

#include "Console.h"
#include "ToolPlatform.h"
#include "base/Logging.h"
#include "base/Path.h"
#include "base/Text.h"
#include "base/Utils.h"
#include "net/CertificateBundle.h"
#include "zip/IniFile.h"

namespace ZipSyncCli {

using namespace ZipSync;

bool IsUrl(const std::string& text) {
    return StartsWith(text, "http://") || StartsWith(text, "https://");
}

std::string UrlDirectory(const std::string& url) {
    size_t slash = url.rfind('/');
    size_t hostStart = url.find("//") + 2;
    if (slash == std::string::npos || slash < hostStart) return url;
    return url.substr(0, slash);
}

Downloader MakeToolDownloader(Console& console) {
    Downloader downloader;
    downloader.SetUserAgent("zipsync");
    downloader.SetCertificateBundle(AssembleCertificateBundle());
    downloader.SetTransferProgressCallback(MakeTransferProgressCallback(&console));
    return downloader;
}

namespace {
// A file of the system's temporary directory, removed when the owner goes away.
class TemporaryFile {
public:
    TemporaryFile() : _path(CreateTemporaryFile("zipsync-manifest")) {}
    ~TemporaryFile() { RemovePath(_path); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return _path; }

private:
    std::string _path;
};
} // namespace

IniData ReadManifestIni(const std::string& pathOrUrl, Console& console) {
    bool zipped = !pathOrUrl.empty() && pathOrUrl.back() == 'z';
    if (!IsUrl(pathOrUrl)) return ReadIniFile(pathOrUrl);

    g_logger->infof("Downloading manifest %s", pathOrUrl.c_str());
    // The bytes go where they are read from without another copy in memory: a manifest may be
    // hundreds of megabytes (the downloader stops at MAX_MANIFEST_SIZE).
    Downloader downloader = MakeToolDownloader(console);
    IniData ini;
    TemporaryFile file;
    StdioFileHolder out(file.path(), "wb");
    downloader.EnqueueDownload(DownloadSource(pathOrUrl), [&](const void* bytes, uint32_t length) {
        if (!zipped) {
            ini = ParseIniText((const char*)bytes, length);
            return;
        }
        ZipSyncAssert(length == 0 || fwrite(bytes, 1, length, out) == length);
    });
    downloader.DownloadAll();
    console.EndProgress();
    ZipSyncAssert(out.reset() == 0);
    if (!zipped) return ini;
    return ReadIniFile(file.path(), INI_FORMAT_CHECKSUMMED_ZIP);
}

void WriteManifest(const std::string& path, const Manifest& manifest) {
    WriteIniFile(path, manifest.SaveToIni());
}

} // namespace ZipSyncCli
