// Connections kept open from one download to the next.
//
// A Downloader closes its connections when its DownloadAll ends, unless it is given a
// ConnectionCache: then its transfers run on the cache's libcurl multi handle, and the
// connections stay open in it for the next Downloader of the same cache. A program that makes
// several downloads from the same servers in a row (the installer: its configuration, a digest,
// the manifests, then the game's data) saves a connection set-up per download, a TCP and a TLS
// handshake of a round trip or two each.
//
// The downloaders share a cache through shared_ptr; the last owner closes the connections. One
// DownloadAll at a time uses a cache, on one thread.
#pragma once

#include <memory>

namespace ZipSync {

class CurlMulti;

class ConnectionCache {
public:
    ConnectionCache();
    ~ConnectionCache();
    ConnectionCache(const ConnectionCache&) = delete;
    ConnectionCache& operator=(const ConnectionCache&) = delete;

private:
    friend class Downloader;
    std::unique_ptr<CurlMulti> _multi;
    bool _inUse = false;
};

} // namespace ZipSync
