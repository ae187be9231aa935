// Opening a disc's session for remote play or replay, and forgetting a deleted cache.
#include "core/session/DiscSession.h"

#include <algorithm>
#include <cctype>

#include "core/base/DiscName.h"
#include "protocol/ClientMessages.h"
#include "platform/FileSystem.h"

namespace korvane {

DiscSession::DiscSession(Trace& trace, LinkHolder* links)
    : trace_(trace), links_(links), remoteDisc_(trace, links) {}

void DiscSession::OpenRemote(int32_t discIndex) {
  const std::string& mapPath = remotePaths_.MapPath();
  cache_.ClearFor(mapPath);
  const std::string map = remotePaths_.Disc() + ".map";
  if (platform::FileExists(mapPath)) {
    trace_.Gated("Loading Mapped Headers for " + map);
    cache_.LoadCacheMap(mapPath, remotePaths_.BlockPath());
    trace_.Gated("Finshed loading Mapped Headers for " + map);
  }
  // Dropped without a report when the link is not connected. A link connected again names
  // the disc by where the server lists it now.
  if (links_) {
    LinkHolder::Lease lease = links_->Acquire();
    if (PluginLink* link = lease.Link()) {
      link->Connection().Send(wire::BuildDiscSelection(link->IndexFor(discIndex)));
    }
  }
  if (trace_.Enabled()) {
    trace_.Gated("Setting Current Disk to " + std::to_string(discIndex) + " on server");
  }
}

void DiscSession::OpenReplay() {
  const std::string& path = replayPaths_.NamedMap();
  cache_.ClearFor(path);
  replayPaths_.Reset();
  if (!platform::FileExists(path)) {
    trace_.Always("Error Loading Mapped Headers for " + path);
    return;
  }
  trace_.Always("Loading Mapped Headers for " + path);
  cache_.LoadCacheMap(path, BlockCache::OfflineBlockPath(path));
  trace_.Gated("Finshed loading Mapped Headers for " + path);
}

void DiscSession::ForgetCacheFile(const std::string& blockName) {
  cache_.Reader().Invalidate();
  const std::string current = SafeFileName(remotePaths_.Disc()) + ".Block";
  auto lower = [](unsigned char c) { return std::tolower(c); };
  // Files of that name may be written anew: the index must not describe the old ones.
  if (std::equal(current.begin(), current.end(), blockName.begin(), blockName.end(),
                 [&](char a, char b) { return lower(a) == lower(b); })) {
    cache_.Clear();
  }
}

uint64_t DiscSession::ReplayedSectors() {
  cache_.IndexFor(replayPaths_.MapPath(), replayPaths_.BlockPath());
  return cache_.Index().LsnEnd();
}

}  // namespace korvane
