#include "net/ConnectionCache.h"

#include "net/internal/CurlTransfer.h"

namespace ZipSync {

ConnectionCache::ConnectionCache() : _multi(new CurlMulti(1)) {}
ConnectionCache::~ConnectionCache() = default;

} // namespace ZipSync
