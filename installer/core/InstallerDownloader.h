// The one way the installer configures a downloader, and the options it takes.
//
// Every download of the installer (configuration, self-update, manifests, game files) goes
// through a Downloader made here, so that all of them identify themselves alike, trust the
// same certificates, follow the network options (the settings page's and the command line's)
// and reuse the connections of the downloads before them in the same run. The caller owns the
// returned downloader; the progress indicator must outlive it.
#pragma once

#include "base/ProgressIndicator.h"
#include "net/Downloader.h"

#include <stdint.h>
#include <string>

struct NetworkOptions {
    // Only single-range requests.
    bool noMultipartByteranges = false;
    // "https://" fetched as "http://".
    bool disableTls = false;
    // Bytes per second of each download, all its connections together; 0 for no limit.
    uint64_t rateLimit = 0;
    // HTTP requests in flight at once; 0 for the engine's default.
    int maxTransfers = 0;
};

// A downloader configured for the installer: user agent "qmh_installer/1.16", the built-in
// certificate bundle plus the file named by QMH_EXTRA_CA_FILE, the network options, the run's
// connections, the system's proxy when no proxy variable is set (SystemProxyLookup), and progress
// (when not null) as its progress (bytes, speed and time left through UpdateTransfer). A rate
// limit and a number of transfers that are set are logged (debug level). Errors are not
// silenced; redirects are not followed.
ZipSync::Downloader MakeInstallerDownloader(const NetworkOptions& options,
                                            ZipSync::ProgressIndicator* progress);

// What the command line says about downloads.
struct DownloadArguments {
    // The text after "--limit-rate" (the settings page's rate field starts with it); empty
    // without one.
    std::string rateLimit;
    // The number after "--transfers"; 0 without one.
    int maxTransfers = 0;
};

// Reads "--limit-rate RATE" and "--transfers N" from the arguments after the first (the last of
// each wins); other arguments are left alone. Raises "Option %s needs a value" when one is the
// last argument, ParseRateLimit's error for a malformed rate and "Option --transfers needs a
// number of at least 1, not \"%s\"".
DownloadArguments ParseDownloadArguments(int argc, const char* const* argv);

// A rate limit as typed in the settings page's field or given after "--limit-rate": empty (or
// blanks) for no limit, else a whole number of bytes per second with an optional suffix k, M or G
// (KiB, MiB, GiB): "500k", "2M". Raises "Rate limit \"%s\" is not a number of bytes per second such
// as 500k or 2M".
uint64_t ParseRateLimit(const std::string& text);

// Test seam: when set, the timeout ladder of every installer downloader (so that tests run it in
// seconds). The product leaves it null.
extern const ZipSync::TimeoutTable* g_installerTimeoutTable;
