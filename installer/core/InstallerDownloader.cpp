#include "InstallerDownloader.h"

#include "net/CertificateBundle.h"

using namespace ZipSync;

const TimeoutTable* g_installerTimeoutTable = nullptr;

Downloader MakeInstallerDownloader(const NetworkOptions& options, ProgressIndicator* progress) {
    Downloader downloader;
    downloader.SetUserAgent("qmh_installer/1.16");
    downloader.SetCertificateBundle(AssembleCertificateBundle());
    downloader.SetSingleRangeOnly(options.noMultipartByteranges);
    downloader.SetDowngradeHttps(options.disableTls);
    if (g_installerTimeoutTable) downloader.SetTimeoutTable(*g_installerTimeoutTable);
    downloader.SetProgressCallback(MakeProgressCallback(progress));
    return downloader;
}
