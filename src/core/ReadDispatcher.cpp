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

ReadDispatcher::Picked ReadDispatcher::Pick() {
  if (state_.RemoteMode) return Picked::kRemote;
  const std::string& path = state_.LocalImagePath;
  if (path.empty()) return Picked::kNull;
  // The image held open without sharing cannot vanish, and only a path that is no cache
  // index is ever opened as an image: sequential reads of it skip the existence query
  // that would otherwise cost a file system call per sector.
  if (image_.HoldsOpen(path)) return Picked::kImage;
  if (!LocalFileExists(path)) return Picked::kNull;
  return IsCacheIndexPath(path) ? Picked::kOffline : Picked::kImage;
}

SectorSource& ReadDispatcher::SourceOf(Picked picked) {
  switch (picked) {
    case Picked::kRemote:
      return remote_;
    case Picked::kNull:
      return null_;
    case Picked::kOffline:
      return offline_;
    case Picked::kImage:
      break;
  }
  return image_;
}

int32_t ReadDispatcher::CDVDreadTrack(uint32_t lsn, int32_t mode) {
  const Picked picked = Pick();
  return Report(picked, SourceOf(picked).Read(lsn, mode, state_.SectorBuffer), lsn, mode);
}

int32_t ReadDispatcher::Report(Picked picked, ReadResult result, uint32_t lsn, int32_t mode) {
  switch (result) {
    case ReadResult::kServed:
      return 0;
    case ReadResult::kNull:
      trace_.Gated(std::string(kTracePrefix) + "Returning NIL buffer");
      return 0;
    case ReadResult::kFailed:
      return -1;
    case ReadResult::kMissing:
      trace_.Gated("Missing Block Sector please connect to server and run from there");
      return -1;
    case ReadResult::kUnsupported:
      break;
  }
  // Modes 2 and 4 are named in the trace, other modes are refused silently; a remote
  // read of a mode its cache holds an entry for counts as done.
  const char* lead = picked == Picked::kRemote    ? "Block Mode["
                     : picked == Picked::kOffline ? "Block read from file Mode["
                                                  : "Mode[";
  if (const char* name = UnsupportedModeName(mode); name && trace_.Enabled()) {
    trace_.Gated(std::string(kTracePrefix) + lead + name + "] LSN[" + std::to_string(lsn) +
                 "] NOT SUPPORTED REPORT");
  }
  return picked == Picked::kRemote ? 0 : -1;
}

uint8_t* ReadDispatcher::CDVDgetBuffer() {
  bool configured = state_.RemoteMode || !state_.LocalImagePath.empty();
  if (configured && !state_.SectorBuffer.InNullMode()) return state_.SectorBuffer.Data();
  trace_.Gated("KorvaneCDVD OutPut: Started in CDVD_NULL_MODE");
  return nullptr;
}

}  // namespace korvane
