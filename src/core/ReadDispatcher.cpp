// Choosing the source of each read from the table, and the read's result and trace lines.
#include "core/ReadDispatcher.h"

#include "platform/FileSystem.h"

namespace korvane {

bool IsCacheIndexPath(const std::string& path) {
  return path.find(".map") != std::string::npos;
}

size_t ReadDispatcher::Pick() {
  const bool remote = state_.RemoteMode;
  const std::string& path = state_.LocalImagePath;
  if (!last_.made || remote != last_.settings.remote || path != last_.settings.path ||
      !StillHolds(last_)) {
    last_ = Choose({remote, path});
  }
  return last_.entry;
}

// A local file found to exist is trusted for a bounded number of reads, so that a replay
// does not pay a file-system query per sector; a missing file is looked for on every read.
// A file a source holds open without sharing cannot vanish, so sequential reads of it never
// ask.
bool ReadDispatcher::StillHolds(Choice& choice) {
  if (!choice.restsOnFile) return true;
  if (choice.entry >= sources_.Size() || !sources_.At(choice.entry).needsFile) return false;
  const SourceEntry& entry = sources_.At(choice.entry);
  if (entry.holdsOpen && entry.holdsOpen(choice.settings.path)) return true;
  if (choice.trustedReads == 0) return false;
  --choice.trustedReads;
  return true;
}

ReadDispatcher::Choice ReadDispatcher::Choose(const SourceSettings& settings) const {
  Choice choice{true, settings, sources_.Size(), false, 0};
  int exists = -1;  // not asked yet
  for (size_t i = 0; i < sources_.Size(); ++i) {
    const SourceEntry& entry = sources_.At(i);
    if (!entry.wants || !entry.wants(settings)) continue;
    if (entry.needsFile) {
      choice.restsOnFile = true;
      if (exists < 0) {
        exists = sources_.HoldsOpen(settings.path) || platform::FileExists(settings.path);
      }
      if (!exists) continue;
      choice.trustedReads = kExistenceTrustedReads - 1;
    }
    choice.entry = i;
    break;
  }
  return choice;
}

int32_t ReadDispatcher::CDVDreadTrack(uint32_t lsn, int32_t mode) {
  const size_t picked = Pick();
  if (picked >= sources_.Size() || !sources_.At(picked).source) return -1;
  const SourceEntry& entry = sources_.At(picked);
  return Report(entry, entry.source->Read(lsn, mode, state_.SectorBuffer), lsn, mode);
}

int32_t ReadDispatcher::Report(const SourceEntry& entry, ReadResult result, uint32_t lsn,
                               int32_t mode) {
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
  // Modes 2 and 4 are named in the trace, other modes are refused silently.
  if (const char* name = UnsupportedModeName(mode); name && trace_.Enabled()) {
    trace_.Gated(std::string(kTracePrefix) + entry.unsupportedLead + name + "] LSN[" +
                 std::to_string(lsn) + "] NOT SUPPORTED REPORT");
  }
  return entry.unsupportedResult;
}

uint8_t* ReadDispatcher::CDVDgetBuffer() {
  bool configured = state_.RemoteMode || !state_.LocalImagePath.empty();
  if (configured && !state_.SectorBuffer.InNullMode()) return state_.SectorBuffer.Data();
  trace_.Gated("KorvaneCDVD OutPut: Started in CDVD_NULL_MODE");
  return nullptr;
}

}  // namespace korvane
