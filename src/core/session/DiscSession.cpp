// Making a disc's read path, opening it for remote play or replay, and forgetting a
// deleted cache.
#include "core/session/DiscSession.h"

#include <algorithm>
#include <cctype>

#include "core/base/DiscName.h"
#include "platform/FileSystem.h"

namespace korvane {

DiscSession::DiscSession(Trace& trace, UserErrorReporter& errors, SessionOptions options)
    : trace_(trace) {
  links_ = std::make_unique<LinkHolder>(trace, errors);
  cache_ = std::make_unique<BlockCache>(trace);
  remoteStore_ = std::make_unique<CacheStore>(*cache_, remotePaths_);
  replayStore_ = std::make_unique<CacheStore>(*cache_, replayPaths_);
  remoteDisc_ = std::make_unique<RemoteDisc>(trace, links_.get());
  remoteDisc_->SetStallLimitMs(options.replyStallMs);
  prefetch_ = std::make_unique<RunPrefetch>(*remoteDisc_);
  prefetch_->SetReadingOnAfter(options.prefetchAfter);
  remote_ = std::make_unique<CachedSource>(*remoteStore_, prefetch_.get());
  replay_ = std::make_unique<CachedSource>(*replayStore_, nullptr);
  cachedOnly_ = std::make_unique<CachedSource>(*remoteStore_, nullptr);
  Describe(described_);
}

DiscSession::~DiscSession() {
  // A request still out holds a lease on one of the links: the sources go first.
  cachedOnly_.reset();
  replay_.reset();
  remote_.reset();
  prefetch_.reset();
  remoteDisc_.reset();
  links_.reset();
}

void DiscSession::Describe(const DiscDescription& disc) {
  described_ = disc;
  remotePaths_.Name(disc.cacheFolder, disc.remoteDisc);
  replayPaths_.Name(disc.cacheFolder, disc.replayMap);
}

void DiscSession::Connect(const ServerEndpoint& endpoint, const ServerCredentials& credentials) {
  ServerSocket& socket = links_->Replace();
  socket.client.SetHost(endpoint.host);
  socket.client.SetPortNumber(endpoint.port);
  socket.Activate({credentials.user, credentials.password, described_.remoteIndex,
                   described_.remoteDisc});
}

void DiscSession::OpenRemote() {
  const std::string& mapPath = remotePaths_.MapPath();
  cache_->ClearFor(mapPath);
  const std::string map = remotePaths_.Disc() + ".map";
  if (platform::FileExists(mapPath)) {
    trace_.Gated("Loading Mapped Headers for " + map);
    cache_->LoadCacheMap(mapPath, remotePaths_.BlockPath());
    trace_.Gated("Finshed loading Mapped Headers for " + map);
  }
  remoteDisc_->Select(described_.remoteIndex);
}

void DiscSession::OpenReplay() {
  const std::string& path = replayPaths_.NamedMap();
  cache_->ClearFor(path);
  replayPaths_.Reset();
  if (!platform::FileExists(path)) {
    trace_.Always("Error Loading Mapped Headers for " + path);
    return;
  }
  trace_.Always("Loading Mapped Headers for " + path);
  cache_->LoadCacheMap(path, BlockCache::OfflineBlockPath(path));
  trace_.Gated("Finshed loading Mapped Headers for " + path);
}

void DiscSession::ForgetCacheFile(const std::string& blockName) {
  cache_->Reader().Invalidate();
  const std::string current = SafeFileName(remotePaths_.Disc()) + ".Block";
  auto lower = [](unsigned char c) { return std::tolower(c); };
  // Files of that name may be written anew: the index must not describe the old ones.
  if (std::equal(current.begin(), current.end(), blockName.begin(), blockName.end(),
                 [&](char a, char b) { return lower(a) == lower(b); })) {
    cache_->Clear();
  }
}

uint64_t DiscSession::ReplayedSectors() {
  cache_->IndexFor(replayPaths_.MapPath(), replayPaths_.BlockPath());
  return cache_->Index().LsnEnd();
}

}  // namespace korvane
