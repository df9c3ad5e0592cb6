// The one way the installer configures a downloader.
//
// Every download of the installer (configuration, self-update, manifests, game files) goes
// through a Downloader made here, so that all of them identify themselves alike, trust the
// same certificates and follow the network options of the settings page. The caller owns the
// returned downloader; the progress indicator must outlive it.
#pragma once

#include "base/ProgressIndicator.h"
#include "net/Downloader.h"

// The settings page's network options.
struct NetworkOptions {
    // Only single-range requests.
    bool noMultipartByteranges = false;
    // "https://" fetched as "http://".
    bool disableTls = false;
};

// A downloader configured for the installer: user agent "qmh_installer/1.16", the built-in
// certificate bundle plus the file named by QMH_EXTRA_CA_FILE, the network options, and
// progress (when not null) as its progress callback. Errors are not silenced.
ZipSync::Downloader MakeInstallerDownloader(const NetworkOptions& options,
                                            ZipSync::ProgressIndicator* progress);

// Test seam: when set, the timeout ladder of every installer downloader (so that tests run it in
// seconds). The product leaves it null.
extern const ZipSync::TimeoutTable* g_installerTimeoutTable;
