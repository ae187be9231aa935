// Source choice, in the order that decides it: remote mode; no local file; a local file
// that does not exist; a cache index; a disc image.
#include "core/ReadDispatcher.h"

#include "platform/FileSystem.h"

namespace korvane {

bool IsCacheIndexPath(const std::string& path) {
  return path.find(".map") != std::string::npos;
}

ReadDispatcher::Picked ReadDispatcher::Pick() {
  const bool remote = state_.RemoteMode;
  const std::string& path = state_.LocalImagePath;
  if (remote != last_.remote || path != last_.path || !StillHolds(last_)) {
    last_ = Choose(remote, path);
  }
  return last_.picked;
}

// A local file found to exist is trusted for a bounded number of reads, so that a replay
// does not pay a file-system query per sector; a missing file is looked for on every read.
// The image held open without sharing cannot vanish, so sequential reads of it never ask.
bool ReadDispatcher::StillHolds(Choice& choice) {
  if (choice.remote || choice.path.empty()) return true;
  if (choice.picked == Picked::kNull) return false;
  if (choice.picked == Picked::kImage && image_.HoldsOpen(choice.path)) return true;
  if (choice.trustedReads == 0) return false;
  --choice.trustedReads;
  return true;
}

ReadDispatcher::Choice ReadDispatcher::Choose(bool remote, const std::string& path) {
  Choice choice{remote, path, Picked::kNull, 0};
  if (remote) {
    choice.picked = Picked::kRemote;
  } else if (!path.empty() && (image_.HoldsOpen(path) || platform::FileExists(path))) {
    choice.picked = IsCacheIndexPath(path) ? Picked::kOffline : Picked::kImage;
    choice.trustedReads = kExistenceTrustedReads - 1;
  }
  return choice;
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
