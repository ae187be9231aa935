// One disc played from a disc server, and its block cache: the read path a program makes
// once for each disc it plays. The plugin owns one; a program that serves several discs at
// once owns one for each.
//
//   Remote()  the cache over the read-ahead over the remote disc, which fetches on the
//             current link of a LinkHolder: a miss goes down once, its run comes back up
//             and is stored, and reads near the frontier keep one request out ahead
//   Replay()  the cache alone over a replayed .map: offline play, where a miss is a miss
//
// Its settings come in as values (NameRemote, NameReplay), taken by the next read; nothing
// here reads the plugin's state. Both sources share one index, loaded for whichever pair of
// files is read, so the two are never used at once from two threads.
#pragma once

#include <cstdint>
#include <string>

#include "core/cache/BlockCache.h"
#include "core/cache/CachePaths.h"
#include "core/cache/CacheStore.h"
#include "core/cache/CachedSource.h"
#include "core/link/LinkHolder.h"
#include "core/link/ReadAhead.h"
#include "core/link/RemoteDisc.h"
#include "core/base/Trace.h"

namespace korvane {

class DiscSession final {
 public:
  // Sectors are fetched on the current link of links; with none, remote reads fail. links
  // must outlive the session: a request still out holds a lease on one of its links.
  DiscSession(Trace& trace, LinkHolder* links);
  DiscSession(const DiscSession&) = delete;
  DiscSession& operator=(const DiscSession&) = delete;

  // The remote disc: its name in the server's list, whose cache files lie in gamesFolder.
  void NameRemote(const std::string& gamesFolder, const std::string& discName) {
    remotePaths_.Name(gamesFolder, discName);
  }
  // The .map an offline replay reads; gamesFolder is made when it is first read.
  void NameReplay(const std::string& gamesFolder, const std::string& mapPath) {
    replayPaths_.Name(gamesFolder, mapPath);
  }

  SectorSource& Remote() { return remote_; }
  SectorSource& Replay() { return offline_; }
  // The remote disc's cache alone: what is cached is served, a miss is kMissing and fetches
  // nothing. It may be read on one thread while another fetches through Remote().
  SectorSource& Cached() { return cachedOnly_; }

  // Prepares remote play of the named disc: loads its cache's index (with gated loading
  // lines) and selects the disc, the one at discIndex in the list, on the link when it is
  // connected.
  void OpenRemote(int32_t discIndex);
  // Prepares offline replay of the named .map: loads its index, or traces that it cannot.
  void OpenReplay();
  // The host stopped reading: the reply on its way is stored, and no request stays out.
  void Settle() { remote_.Settle(); }
  // The dialog deleted the cache whose .Block file had this name: no block is read through
  // an index that points into it, and when it was the remote disc's, its index is emptied.
  void ForgetCacheFile(const std::string& blockName);
  // How many sectors the replayed .map's disc has: the end of the LSNs its index holds.
  uint64_t ReplayedSectors();

  BlockCache& Cache() { return cache_; }
  CacheStore& RemoteStore() { return remoteStore_; }
  RemoteDisc& Disc() { return remoteDisc_; }
  ReadAhead& Ahead() { return readAhead_; }

 private:
  Trace& trace_;
  LinkHolder* links_;
  RemoteCachePaths remotePaths_;
  ReplayCachePaths replayPaths_;
  BlockCache cache_{remotePaths_, trace_};
  CacheStore remoteStore_{cache_, remotePaths_};
  CacheStore replayStore_{cache_, replayPaths_};
  RemoteDisc remoteDisc_;
  ReadAhead readAhead_{remoteDisc_, remoteStore_};
  CachedSource remote_{remoteStore_, &readAhead_};
  CachedSource offline_{replayStore_, nullptr};
  CachedSource cachedOnly_{remoteStore_, nullptr};
};

}  // namespace korvane
