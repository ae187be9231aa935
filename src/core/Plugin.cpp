// Entry point logic: what each export does around the read path, with its trace lines.
#include "core/Plugin.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "platform/FileSystem.h"

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
      session_(trace_, errors_),
      dispatcher_(state_, trace_, sources_) {
  ListSources();
  DescribeDisc();
}

void Plugin::ApplyChoices() {
  choices_.ApplyTo(state_, [this](const std::string& blockName) {
    DescribeDisc();
    session_.ForgetCacheFile(blockName);
  });
  DescribeDisc();
}

void Plugin::DescribeDisc() {
  const DiscDescription& now = session_.Described();
  if (now.cacheFolder == state_.GamesFolder && now.remoteDisc == state_.SelectedDiscName &&
      now.remoteIndex == state_.SelectedDiscIndex && now.replayMap == state_.LocalImagePath) {
    return;
  }
  session_.Describe({state_.GamesFolder, state_.SelectedDiscName, state_.SelectedDiscIndex,
                     state_.LocalImagePath});
}

int32_t Plugin::Init() {
  image_->Window().ReadAheadCursor = 1;
  return 0;
}

int32_t Plugin::Open() {
  ApplyChoices();
  trace_.Gated(Prefixed("CDVDopen Called"));
  dispatcher_.ForgetLocalFile();
  sources_.OpenAll({state_.RemoteMode, state_.LocalImagePath});
  return 0;
}

void Plugin::Close() {
  sources_.CloseAll();
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
    sectors = session_.ReplayedSectors();
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
