// One disc played from a disc server, and its block cache: the read path a program makes
// once for each disc it plays. The plugin owns one; a program that serves several discs at
// once owns one for each.
//
//   Remote()  the cache over the prefetch over the remote disc, which fetches on the
//             session's current server link: a miss goes down once, its run comes back up
//             and is stored, and reads near the frontier keep one request out ahead
//   Replay()  the cache alone over a replayed .map: offline play, where a miss is a miss
//   Cached()  the remote disc's cache alone, for a reader that must not wait on the server
//
// The session is given what it plays as a value (DiscDescription) and holds its own links:
// a program connects it (Connect), or makes and activates its links itself (Links(), as the
// plugin's dialog does). Nothing here reads the plugin's state. Remote() and Replay() share
// one index, loaded for whichever pair of files is read, so the two are never used at once
// from two threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/base/SectorSource.h"
#include "core/base/Trace.h"
#include "core/base/UserErrors.h"
#include "core/cache/BlockCache.h"
#include "core/cache/CachePaths.h"
#include "core/cache/CacheStore.h"
#include "core/cache/CachedSource.h"
#include "core/link/LinkHolder.h"
#include "core/link/RemoteDisc.h"
#include "core/link/RunPrefetch.h"

namespace korvane {

// What a session plays, as values.
struct DiscDescription {
  std::string cacheFolder;  // where the remote disc's cache files lie (the games folder)
  std::string remoteDisc;   // the remote disc's name in the server's list
  int32_t remoteIndex = 0;  // and its place there
  std::string replayMap;    // the .map an offline replay reads

  bool operator==(const DiscDescription& other) const {
    return cacheFolder == other.cacheFolder && remoteDisc == other.remoteDisc &&
           remoteIndex == other.remoteIndex && replayMap == other.replayMap;
  }
  bool operator!=(const DiscDescription& other) const { return !(*this == other); }
};

// How a session waits and reads on.
struct SessionOptions {
  int replyStallMs = kReplyStallMs;  // the longest wait for the server, attempts included
  uint32_t prefetchAfter = 1;        // sequential reads in a row before the prefetch starts
};

// Where the disc server is, and who logs in there.
struct ServerEndpoint {
  std::string host;
  uint16_t port = 0;
};
struct ServerCredentials {
  std::string user;
  std::string password;
};

class DiscSession final {
 public:
  // Trace lines go to trace, a link's errors for the user to errors.
  DiscSession(Trace& trace, UserErrorReporter& errors, SessionOptions options = {});
  ~DiscSession();
  DiscSession(const DiscSession&) = delete;
  DiscSession& operator=(const DiscSession&) = delete;

  // What is played from the next read on; cheap when it is what was given before.
  void Describe(const DiscDescription& disc);
  const DiscDescription& Described() const { return described_; }

  // Makes a link of the session's own to the server at endpoint, current from now on: it
  // connects, logs in with credentials and names the described remote disc at the prompt,
  // all on the first read that needs it.
  void Connect(const ServerEndpoint& endpoint, const ServerCredentials& credentials);
  // The session's links, for a program that makes and activates them itself.
  LinkHolder& Links() { return *links_; }

  SectorSource& Remote() { return *remote_; }
  SectorSource& Replay() { return *replay_; }
  // The remote disc's cache alone: what is cached is served, a miss is kMissing and fetches
  // nothing. It may be read on one thread while another fetches through Remote().
  SectorSource& Cached() { return *cachedOnly_; }

  // Prepares remote play of the described disc: loads its cache's index (with gated loading
  // lines) and selects the disc on the link when it is connected.
  void OpenRemote();
  // Prepares offline replay of the described .map: loads its index, or traces that it cannot.
  void OpenReplay();
  // The reader stopped: the reply on its way is stored, and no request stays out.
  void Settle() { remote_->Settle(); }
  // The dialog deleted the cache whose .Block file had this name: no block is read through
  // an index that points into it, and when it was the remote disc's, its index is emptied.
  void ForgetCacheFile(const std::string& blockName);
  // How many sectors the replayed .map's disc has: the end of the LSNs its index holds.
  uint64_t ReplayedSectors();
  // Fetches by the tail request the image's bytes after its last whole sector, lsn, as
  // RemoteDisc::FetchTail does.
  bool FetchTail(uint32_t lsn, int32_t mode, SectorRun& run) {
    return remoteDisc_->FetchTail(lsn, mode, run);
  }

  // The longest wait for the server from now on, as SessionOptions::replyStallMs.
  void SetStallLimitMs(int limitMs) { remoteDisc_->SetStallLimitMs(limitMs); }
  // Where a failed store into the cache is said, besides its gated trace line.
  void OnStoreFailure(std::function<void(const std::string&)> report) {
    cache_->OnStoreFailure(std::move(report));
  }

  BlockCache& Cache() { return *cache_; }
  CacheStore& RemoteStore() { return *remoteStore_; }
  // The remote disc, for tests that fetch on a link of their own.
  RemoteDisc& Disc() { return *remoteDisc_; }

 private:
  Trace& trace_;
  DiscDescription described_;
  // Made in the constructor, each after what it uses, and let go in the opposite order.
  std::unique_ptr<LinkHolder> links_;
  RemoteCachePaths remotePaths_;
  ReplayCachePaths replayPaths_;
  std::unique_ptr<BlockCache> cache_;
  std::unique_ptr<CacheStore> remoteStore_, replayStore_;
  std::unique_ptr<RemoteDisc> remoteDisc_;
  std::unique_ptr<RunPrefetch> prefetch_;
  std::unique_ptr<CachedSource> remote_, replay_, cachedOnly_;
};

}  // namespace korvane
