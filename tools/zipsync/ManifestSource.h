// Manifests named on the command line: a local file or an http(s) URL.
//
// A name ending in 'z' is a checksummed zip holding "data.ini" (its digest is checked when it is
// read), any other name plain INI text. A remote manifest is fetched whole with the engine's
// Downloader into a temporary file that is removed again. The tool configures every Downloader
// the same way (MakeToolDownloader): the trusted roots come from AssembleCertificateBundle, so
// the environment variable QMH_EXTRA_CA_FILE adds a deployment's own certificate authority.
#pragma once

#include "base/Ini.h"
#include "net/Downloader.h"
#include "zip/Manifest.h"

#include <string>

namespace ZipSyncCli {

class Console;

// Whether text begins with "http://" or "https://".
bool IsUrl(const std::string& text);
// The directory of a URL: everything before its last '/'.
std::string UrlDirectory(const std::string& url);

// A Downloader reporting progress to the console, trusting the assembled certificate bundle.
ZipSync::Downloader MakeToolDownloader(Console& console);

// The INI text of the manifest at pathOrUrl.
ZipSync::IniData ReadManifestIni(const std::string& pathOrUrl, Console& console);

// Writes manifest to path: a checksummed zip when the name ends in 'z', plain INI otherwise.
void WriteManifest(const std::string& path, const ZipSync::Manifest& manifest);

} // namespace ZipSyncCli
