// One file of the mount: a disc, read through a disc session of its own. A disc of the
// server gets its session, connected to the server, when its file is first opened (logged
// in, its disc selected at the server's prompt, connected again by itself after a loss),
// and ends it when the last handle is released; an offline disc reads its cache alone.
// Either way, reads go through the block cache and its prefetch, exactly as the plugin's
// do, into the same files.
//
// The disc's fetch lock lets one read at a time use its session's way to the server, so
// each link has at most one request out; readers of other discs never wait on it, and a
// read whose sectors are all cached does not either: while another read holds the lock, it
// is served from the cache alone, and waits for the lock only when a sector is missing.
// Kernel reads of 128 KiB and more become reads of consecutive sectors: the first miss
// fetches a run, the rest are hits or are taken in from the run the prefetch asked for.
// A read that needs the server fails within the reply bound (10 s) from its start, lock
// wait included, however many sectors it spans. A sector that cannot be had makes the whole
// read fail with EIO: a file read never gives wrong or zero bytes for it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/session/DiscSession.h"
#include "core/base/SectorBytes.h"
#include "core/base/Trace.h"
#include "core/base/UserErrors.h"
#include "mount/DiscTail.h"
#include "mount/ServerCatalog.h"

namespace korvane::mount {

// What every disc of one mount shares.
struct MountContext {
  Trace& trace;
  UserErrorReporter& errors;
  ServerLogin login;
  std::string cacheFolder;
  int replyStallMs = 10000;  // how long a read that needs the server may take in all
};

class MountedDisc final {
 public:
  // A disc of the server.
  static std::unique_ptr<MountedDisc> Remote(const ListedDisc& disc, const MountContext& context);
  // A cached disc: the pair of the .map at mapPath, sectorCount sectors of sectorSize bytes.
  static std::unique_ptr<MountedDisc> Offline(const std::string& fileName,
                                              const std::string& mapPath, uint64_t sectorCount,
                                              uint32_t sectorSize, const MountContext& context);

  const std::string& FileName() const { return fileName_; }
  uint64_t Size() const { return bytes_; }

  // A handle of the file was opened: the first one prepares the session.
  void Open();
  // A handle was released: the last one takes in what is on its way and ends the session.
  void Release();
  // Reads size bytes at offset into out: how many (fewer only at the end of the file), or
  // -EIO when a sector cannot be had.
  long Read(uint8_t* out, size_t size, uint64_t offset);

 private:
  MountedDisc(const MountContext& context, std::string fileName, uint64_t bytes,
              uint32_t sectorSize)
      : context_(context), fileName_(std::move(fileName)), bytes_(bytes),
        sectorSize_(sectorSize), mode_(sectorSize == 2352 ? 0 : 3) {}
  void StartSession();  // lock held
  // Reads the sectors of [offset, offset + size) through source into out; false when one
  // cannot be had. deadline, when given, bounds the remote disc's waits.
  bool ReadSectors(SectorSource& source, uint8_t* out, size_t size, uint64_t offset,
                   const std::chrono::steady_clock::time_point* deadline);
  // Says, once per kind, that the disc's cache files cannot be written.
  void ReportStoreFailure(const std::string& what);

  const MountContext& context_;
  const std::string fileName_;
  const uint64_t bytes_;
  const uint32_t sectorSize_;
  const int32_t mode_;  // 3 for 2048-byte sectors, 0 for raw ones
  bool offline_ = false;
  ListedDisc listed_;    // a disc of the server
  std::string mapPath_;  // an offline disc

  std::mutex lock_;  // guards opens_, and the session's start and end
  // Held by the one read that may wait on the server, and while the session starts or ends.
  std::timed_mutex fetching_;
  int opens_ = 0;
  std::unique_ptr<DiscSession> session_;
  std::unique_ptr<DiscTail> tail_;  // a disc of the server: its reads, the partial sector's too
};

}  // namespace korvane::mount
