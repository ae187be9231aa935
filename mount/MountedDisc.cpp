// A disc's session made on first open, its reads, and its end on the last release.
#include "mount/MountedDisc.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/base/ReadMode.h"

namespace korvane::mount {

std::unique_ptr<MountedDisc> MountedDisc::Remote(const ListedDisc& disc,
                                                 const MountContext& context) {
  std::unique_ptr<MountedDisc> mounted(
      new MountedDisc(context, disc.fileName, disc.bytes, disc.sectorSize));
  mounted->listed_ = disc;
  return mounted;
}

std::unique_ptr<MountedDisc> MountedDisc::Offline(const std::string& fileName,
                                                  const std::string& mapPath,
                                                  uint64_t sectorCount, uint32_t sectorSize,
                                                  const MountContext& context) {
  std::unique_ptr<MountedDisc> mounted(
      new MountedDisc(context, fileName, sectorCount * sectorSize, sectorSize));
  mounted->offline_ = true;
  mounted->mapPath_ = mapPath;
  return mounted;
}

void MountedDisc::Open() {
  std::lock_guard<std::mutex> hold(lock_);
  if (opens_++ > 0) return;
  std::lock_guard<std::timed_mutex> alone(fetching_);
  StartSession();
}

void MountedDisc::StartSession() {
  SessionOptions options;
  options.replyStallMs = context_.replyStallMs;
  // A 4 KiB read spans up to 3 sectors: only a longer sequence reads on, so that random
  // page reads never leave a request ahead for the next one to wait out.
  options.prefetchAfter = 3;
  session_ = std::make_unique<DiscSession>(context_.trace, context_.errors, options);
  session_->OnStoreFailure([this](const std::string& what) { ReportStoreFailure(what); });
  if (offline_) {
    session_->Describe({context_.cacheFolder, "", 0, mapPath_});
    session_->OpenReplay();
    return;
  }
  session_->Describe({context_.cacheFolder, listed_.discName, listed_.index, ""});
  // The link connects, logs in and answers the prompt on the first read, which waits for
  // it; it names this disc by its place in the list, or by its name once made again.
  session_->Connect({context_.login.host, context_.login.port},
                    {context_.login.user, context_.login.password});
  session_->OpenRemote();
  tail_ = std::make_unique<DiscTail>(*session_, bytes_, sectorSize_);
}

void MountedDisc::ReportStoreFailure(const std::string& what) {
  const std::string line = "the cache of " + fileName_ + " cannot be written, its sectors are "
                           "read from the server each time: " + what;
  context_.trace.Always("korvane-mount: " + line);
}

void MountedDisc::Release() {
  std::lock_guard<std::mutex> hold(lock_);
  if (opens_ == 0 || --opens_ > 0) return;
  std::lock_guard<std::timed_mutex> alone(fetching_);
  session_->Settle();
  tail_.reset();
  session_.reset();
}

long MountedDisc::Read(uint8_t* out, size_t size, uint64_t offset) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(context_.replyStallMs);
  if (offset >= bytes_) return 0;
  size = static_cast<size_t>(std::min<uint64_t>(size, bytes_ - offset));
  // The session lives from the first open to the last release, and FUSE reads only through
  // an open handle: it is there for the whole of this read.
  std::unique_lock<std::timed_mutex> fetch(fetching_, std::try_to_lock);
  if (!fetch.owns_lock()) {
    // Another read may be waiting on the server: the cache alone may do for this one.
    if (!offline_ && session_ && ReadSectors(session_->Cached(), out, size, offset, nullptr)) {
      return static_cast<long>(size);
    }
    if (!fetch.try_lock_until(deadline)) return -EIO;
  }
  if (!session_) return -EIO;
  SectorSource& source = offline_ ? session_->Replay() : *tail_;
  if (!ReadSectors(source, out, size, offset, offline_ ? nullptr : &deadline)) return -EIO;
  return static_cast<long>(size);
}

bool MountedDisc::ReadSectors(SectorSource& source, uint8_t* out, size_t size, uint64_t offset,
                              const std::chrono::steady_clock::time_point* deadline) {
  using namespace std::chrono;
  SectorBytes sector;
  for (size_t done = 0; done < size;) {
    const uint64_t at = offset + done;
    const uint64_t lsn = at / sectorSize_;
    const size_t within = static_cast<size_t>(at % sectorSize_);
    if (deadline) {
      // Each wait of the remote disc ends by the read's deadline.
      const auto left = duration_cast<milliseconds>(*deadline - steady_clock::now()).count();
      if (left <= 0) return false;
      session_->SetStallLimitMs(static_cast<int>(left));
    }
    if (lsn > UINT32_MAX ||
        source.Read(static_cast<uint32_t>(lsn), mode_, sector) != ReadResult::kServed) {
      return false;
    }
    const size_t take = std::min<size_t>(sectorSize_ - within, size - done);
    std::memcpy(out + done, sector.Data() + within, take);
    done += take;
  }
  return true;
}

}  // namespace korvane::mount
