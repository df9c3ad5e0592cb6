#include "InstallerDownloader.h"

#include "InstallerState.h"
#include "net/CertificateBundle.h"

using namespace ZipSync;

const TimeoutTable* g_installerTimeoutTable = nullptr;

Downloader MakeInstallerDownloader(ProgressIndicator* progress) {
    Downloader downloader;
    downloader.SetUserAgent("qmh_installer/1.16");
    downloader.SetCertificateBundle(AssembleCertificateBundle());
    downloader.SetSingleRangeOnly(g_state.noMultipartByteranges);
    downloader.SetDowngradeHttps(g_state.disableTls);
    if (g_installerTimeoutTable) downloader.SetTimeoutTable(*g_installerTimeoutTable);
    if (progress) downloader.SetProgressCallback(MakeProgressCallback(progress));
    return downloader;
}
