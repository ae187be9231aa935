// Entry point logic: what each export does around the read path, with its trace lines.
#include "core/Plugin.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string>

#include "core/DiscName.h"
#include "platform/FileSystem.h"
#include "protocol/ClientMessages.h"

namespace korvane {

namespace {
std::string Prefixed(std::string_view text) {
  return std::string(kTracePrefix) + std::string(text);
}
}  // namespace

Plugin::Plugin(TraceOutput& output, UserErrorReporter* errors)
    : trace_(output, state_.DebugTrace),
      errors_(errors ? *errors : tracedErrors_),
      null_(MakeNullSource()),
      image_(MakeImageSource(trace_)),
      links_(trace_, errors_),
      remoteDisc_(trace_, &links_),
      dispatcher_(state_, trace_, *null_, *image_, offline_, remote_) {}

void Plugin::ApplyChoices() {
  choices_.ApplyTo(state_, [this](const std::string& blockName) { ForgetCache(blockName); });
}

// A deleted cache: no block is read through an index that points into it, and when it was
// the current disc's, its index is emptied, since files of that name may be written anew.
void Plugin::ForgetCache(const std::string& blockName) {
  cache_.Reader().Invalidate();
  std::string current = SafeFileName(state_.SelectedDiscName) + ".Block";
  auto lower = [](unsigned char c) { return std::tolower(c); };
  if (std::equal(current.begin(), current.end(), blockName.begin(), blockName.end(),
                 [&](char a, char b) { return lower(a) == lower(b); })) {
    cache_.Clear();
  }
}

int32_t Plugin::Init() {
  image_->Window().ReadAheadCursor = 1;
  return 0;
}

int32_t Plugin::Open() {
  ApplyChoices();
  trace_.Gated(Prefixed("CDVDopen Called"));
  // Sectors of an earlier disc must never be served for the one prepared now.
  image_->EmptyWindow();
  cache_.Reader().Invalidate();
  dispatcher_.ForgetLocalFile();
  const bool image = !state_.RemoteMode && !state_.LocalImagePath.empty() &&
                     !IsCacheIndexPath(state_.LocalImagePath);
  // An image an earlier CDVDopen left open is not held, without sharing, by a plugin that
  // now reads from elsewhere.
  if (!image) image_->CloseImage();
  if (state_.RemoteMode) {
    OpenRemoteDisc();
  } else if (IsCacheIndexPath(state_.LocalImagePath)) {
    OpenOfflineReplay();
  } else if (image) {
    image_->PrepareImage(state_.LocalImagePath, state_.SectorBuffer);
  }
  return 0;
}

void Plugin::OpenRemoteDisc() {
  cache_.ClearFor(cache_.RemoteMapPath());
  std::string map = state_.SelectedDiscName + ".map";
  if (platform::FileExists(cache_.RemoteMapPath())) {
    trace_.Gated("Loading Mapped Headers for " + map);
    cache_.LoadCacheMap(cache_.RemoteMapPath(), cache_.RemoteBlockPath());
    trace_.Gated("Finshed loading Mapped Headers for " + map);
  }
  // Dropped without a report when the link is not connected. A link connected again names
  // the disc by where the server lists it now.
  LinkHolder::Lease lease = links_.Acquire();
  if (PluginLink* link = lease.Link()) {
    link->Connection().Send(wire::BuildDiscSelection(link->IndexFor(state_.SelectedDiscIndex)));
  }
  if (trace_.Enabled()) {
    trace_.Gated("Setting Current Disk to " + std::to_string(state_.SelectedDiscIndex) +
                 " on server");
  }
}

void Plugin::OpenOfflineReplay() {
  const std::string& path = state_.LocalImagePath;
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

void Plugin::Close() {
  remote_.Settle();
  image_->CloseImage();
  trace_.Gated(Prefixed("CDVDclose Called"));
}

int32_t Plugin::GetBuffer2(uint8_t* buffer) {
  const uint8_t* sector = GetBuffer();
  if (!sector || !buffer) return -1;
  // Modes 2 and 4 are read by no source; their sizes are still what the host expects.
  static constexpr size_t kModeBytes[] = {2352, 2340, 2328, 2048, 2368};
  size_t size = lastReadMode_ >= 0 && lastReadMode_ <= 4 ? kModeBytes[lastReadMode_] : 2352;
  size_t held = std::min(size, SectorBytes::kSize);
  std::memcpy(buffer, sector, held);
  std::memset(buffer + held, 0, size - held);
  return 0;
}

int32_t Plugin::ReadSubQ(uint32_t, void*) {
  trace_.Gated(Prefixed("CDVDreadSubQ Called and returned -1"));
  return -1;
}

int32_t Plugin::GetTN(TrackNumbers* record) {
  if (record) *record = {1, 1};
  trace_.Gated(Prefixed("CDVDgetTN Called and returned 0"));
  return 0;
}

int32_t Plugin::GetTD(uint8_t track, TrackDescriptor* record) {
  ApplyChoices();
  trace_.Gated(Prefixed("CDVDgetTD Called and returned 0"));
  const std::string& chosen =
      state_.ImageFileChooser.empty() ? state_.LocalImagePath : state_.ImageFileChooser;
  int64_t size = chosen.empty() ? -1 : platform::FileSize(chosen);
  uint64_t sectors = size < 0 ? 0 : static_cast<uint64_t>(size) / 2048;
  if (state_.ImageFileChooser.empty() && !state_.RemoteMode && IsCacheIndexPath(chosen)) {
    // A replayed cache is no image: the disc is as long as the sectors its index holds,
    // the index of the .map named now.
    cache_.IndexFor(replayPaths_.MapPath(), replayPaths_.BlockPath());
    sectors = cache_.Index().LsnEnd();
    size = sectors > 0 ? 0 : -1;
  }
  if (record) {
    record->lsn = static_cast<uint32_t>(sectors > std::numeric_limits<uint32_t>::max()
                                            ? std::numeric_limits<uint32_t>::max()
                                            : sectors);
    record->type = kTrackTypeMode1Data;
  }
  return (size >= 0 && track <= 1) ? 0 : -1;
}

int32_t Plugin::GetDiskType() {
  ApplyChoices();
  if (state_.RemoteMode || !state_.LocalImagePath.empty()) return state_.DiskType;
  trace_.Always(Prefixed("CDVDgetDiskType Called returned CDVD_TYPE_NODISC"));
  return kDiskTypeNoDisc;
}

int32_t Plugin::CtrlTrayOpen() {
  trace_.Gated(Prefixed("CDVDctrlTrayOpen returned 0"));
  return 0;
}

int32_t Plugin::CtrlTrayClose() {
  trace_.Gated(Prefixed("CDVDctrlTrayClose Called returned 0"));
  return 0;
}

int32_t Plugin::Test() {
  trace_.Gated(Prefixed("CDVDtest Called returned 0"));
  return 0;
}

}  // namespace korvane
