// The plugin behind the PS2E exports: its shared state, its table of sources and the logic
// of each entry point, free of any calling convention so that it runs and is tested
// natively. The DLL holds one Plugin for the life of the process and forwards every export
// to it. The remote read path, the replay of a cache and the plugin's link (PluginSocket)
// are its disc session's, which is told what to play, as values, whenever the state's
// names change; the configuration dialog sees the plugin through its SettingsPort.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/cache/BlockCache.h"
#include "core/DialogChoices.h"
#include "core/session/DiscSession.h"
#include "core/source/ImageSource.h"
#include "core/base/LibraryIdentity.h"
#include "core/source/NullSource.h"
#include "core/PluginState.h"
#include "core/ReadDispatcher.h"
#include "core/SourceTable.h"
#include "core/base/ReadMode.h"
#include "core/SettingsPort.h"
#include "core/base/Trace.h"
#include "core/base/UserErrors.h"

namespace korvane {

class Plugin final : public SettingsPort {
 public:
  // Trace lines go to output, errors for the user to errors (when none is given, they are
  // traced); the state takes its values at load.
  explicit Plugin(TraceOutput& output, UserErrorReporter* errors = nullptr);

  PluginState& State() { return state_; }
  Trace& Tracer() { return trace_; }
  ImageSource& Image() { return *image_; }
  // The disc session's block cache, its files named by the state as it is now.
  BlockCache& Cache() {
    DescribeDisc();
    return session_.Cache();
  }
  // The remote disc's store in that cache.
  CacheStore& RemoteStore() {
    DescribeDisc();
    return session_.RemoteStore();
  }
  DiscSession& Session() { return session_; }
  UserErrorReporter& UserErrors() override { return errors_; }
  // For the thread that runs the dialog; CreatePluginSocket is CDVDconfigure's first step.
  ServerSocket* CurrentPluginSocket() override { return session_.Links().Current(); }
  ServerSocket& CreatePluginSocket() override { return session_.Links().Replace(); }

  // The dialog's view of the plugin's settings, and its one way to change them: switches
  // and numbers at once, texts on their way to State(), which ApplyChoices brings them to,
  // as every entry point that reads the state does first.
  PluginSettings Settings() const override { return choices_.Current(state_); }
  void ChangeSettings(const std::function<void(PluginSettings&)>& change) override {
    choices_.Change(state_, change);
  }
  void ForgetCacheFile(std::string blockName) override {
    choices_.ForgetCache(std::move(blockName));
  }
  const std::string& GamesFolder() const override { return state_.GamesFolder; }
  // Brings the dialog's texts to State(), and the state's names, when they changed, to the
  // disc session.
  void ApplyChoices();

  // Shortens the read path's wait for a silent server (tests only).
  void SetReplyStallLimitForTests(int limitMs) { session_.SetStallLimitMs(limitMs); }
  // The sources a read may go to; a test may plug in one of its own.
  SourceTable& Sources() { return sources_; }

  // CDVDinit: resets the read-ahead cursor; returns 0.
  int32_t Init();
  // CDVDopen: prepares the source that the next reads use; always returns 0.
  int32_t Open();
  // CDVDclose: takes in a reply still on its way, closes the image if one is open, then
  // traces.
  void Close();
  // CDVDshutdown: nothing is reset or closed.
  void Shutdown() {}
  // CDVDreadTrack: reads one sector into the sector buffer; 0 or -1.
  int32_t ReadTrack(uint32_t lsn, int32_t mode) {
    ApplyChoices();
    lastReadMode_ = mode;
    return dispatcher_.CDVDreadTrack(lsn, mode);
  }
  // CDVDgetBuffer: the sector buffer, or null in null mode.
  uint8_t* GetBuffer() {
    ApplyChoices();
    return dispatcher_.CDVDgetBuffer();
  }
  // CDVDgetBuffer2 (of the later hosts): copies the last read's sector into buffer, as many
  // bytes as that read's mode has; 0, or -1 in null mode (traced as CDVDgetBuffer traces)
  // or without a buffer.
  int32_t GetBuffer2(uint8_t* buffer);
  // CDVDreadSubQ: no sub-channel data; returns -1 and writes nothing.
  int32_t ReadSubQ(uint32_t lsn, void* subq);
  // CDVDgetTN: one track, first 1 and last 1; returns 0. A null record is not written.
  int32_t GetTN(TrackNumbers* record);
  // CDVDgetTD: the chosen file's size in 2048-byte sectors and type 0x41; 0 for tracks 0
  // and 1, -1 for others and when no file can be measured. A null record is not written.
  int32_t GetTD(uint8_t track, TrackDescriptor* record);
  // CDVDgetTOC: no table of contents; returns -1 and writes nothing.
  int32_t GetTOC(void* toc) { return -1; }
  // CDVDgetDiskType: DiskType when a source is configured, else 0 with an ungated trace.
  int32_t GetDiskType();
  // CDVDgetTrayStatus: the tray is always closed.
  int32_t GetTrayStatus() { return 0; }
  // CDVDctrlTrayOpen, CDVDctrlTrayClose, CDVDtest: trace and return 0.
  int32_t CtrlTrayOpen();
  int32_t CtrlTrayClose();
  int32_t Test();

 private:
  // Tells the disc session what the state names now, when that changed.
  void DescribeDisc();
  // Fills the table of sources (PluginSources.cpp): the one place that says which there
  // are and when each is chosen.
  void ListSources();

  // Shows user errors as trace lines when no reporter is given.
  class TracedErrors final : public UserErrorReporter {
   public:
    explicit TracedErrors(Trace& trace) : trace_(trace) {}
    void ShowError(const std::string& message) override { trace_.Always(message); }

   private:
    Trace& trace_;
  };

  PluginState state_;
  int32_t lastReadMode_ = kModeData2048;
  DialogChoices choices_;
  Trace trace_;
  TracedErrors tracedErrors_{trace_};
  UserErrorReporter& errors_;
  std::unique_ptr<NullSource> null_;
  std::unique_ptr<ImageSource> image_;
  DiscSession session_;
  SourceTable sources_;
  ReadDispatcher dispatcher_;
};

}  // namespace korvane
