// Source choice, in the order that decides it: remote mode; no local file; a local file
// that does not exist; a cache index; a disc image.
#include "core/ReadDispatcher.h"

#include "platform/FileSystem.h"

namespace korvane {

bool IsCacheIndexPath(const std::string& path) {
  return path.find(".map") != std::string::npos;
}

// A file found to exist is trusted for a bounded number of reads, so that a replay does
// not pay a file system query per sector; a missing file is looked for on every read.
bool ReadDispatcher::LocalFileExists(const std::string& path) {
  if (trustedReads_ > 0 && path == probedPath_) {
    --trustedReads_;
    return true;
  }
  if (!platform::FileExists(path)) return false;
  probedPath_ = path;
  trustedReads_ = kExistenceTrustedReads - 1;
  return true;
}

int32_t ReadDispatcher::CDVDreadTrack(uint32_t lsn, int32_t mode) {
  if (state_.RemoteMode) return remote_.ReadSector(lsn, mode);
  const std::string& path = state_.LocalImagePath;
  if (path.empty()) return null_.ReadSector(lsn, mode);
  // The image held open without sharing cannot vanish, and only a path that is no cache
  // index is ever opened as an image: sequential reads of it skip the existence query
  // that would otherwise cost a file system call per sector.
  if (image_.HoldsOpen(path)) return image_.ReadSector(lsn, mode);
  if (!LocalFileExists(path)) return null_.ReadSector(lsn, mode);
  if (IsCacheIndexPath(path)) return offline_.ReadSector(lsn, mode);
  return image_.ReadSector(lsn, mode);
}

uint8_t* ReadDispatcher::CDVDgetBuffer() {
  bool configured = state_.RemoteMode || !state_.LocalImagePath.empty();
  if (configured && !state_.SectorBuffer.InNullMode()) return state_.SectorBuffer.Data();
  trace_.Gated("KorvaneCDVD OutPut: Started in CDVD_NULL_MODE");
  return nullptr;
}

}  // namespace korvane
