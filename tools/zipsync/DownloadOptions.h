// The command-line options of commands that download archive data, and the downloader they
// configure.
//
// --transfers N sets the HTTP requests in flight at once, --limit-rate RATE the bytes per second
// of the whole download (all connections together), with an optional suffix k, M or G for KiB,
// MiB or GiB. Archive data is checked against its digests after the download, so its
// downloader follows redirects; manifests do not (MakeToolDownloader).
#pragma once

#include "CommandLine.h"
#include "net/Downloader.h"

#include <stdint.h>
#include <string>

namespace ZipSyncCli {

class Console;

OptionSpec TransfersOption();
OptionSpec LimitRateOption();

// "500k" -> 512000; a usage error for anything but a whole number with an optional suffix.
uint64_t ParseRate(const std::string& text);

// MakeToolDownloader's downloader, following redirects, with the options in args.
ZipSync::Downloader MakeArchiveDownloader(Console& console, const ParsedArgs& args);

} // namespace ZipSyncCli
