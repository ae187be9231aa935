// KorvanePlayer: plays a disc through any PS2E CDVD plugin DLL as an emulator does, so a
// person can try a plugin without an emulator, and scripts can check one end to end.
// See PlayerHelp() for the options.
#include <windows.h>

#include <process.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ImageVerifier.h"
#include "IsoVolume.h"
#include "PlayerOptions.h"
#include "PluginApi.h"
#include "ReadTiming.h"

namespace {

using player::Clock;

struct Tally {
  uint32_t reads = 0, ok = 0, failed = 0, nullBuffers = 0, verified = 0, mismatched = 0;
  double seconds = 0;
  double messageSeconds = 0;  // of seconds, spent dispatching the thread's messages
  uint64_t bytes = 0;
  player::BlockTimes blocks{false};  // how long each read call blocked, when asked
};

// Dispatches the thread's window messages, as a GUI host does between its calls.
void PumpMessages() {
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
}

// FNV-1a, 32 bits: enough to tell sectors apart in a listing.
uint32_t Checksum(const uint8_t* bytes, size_t count) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

void ShowProgress(uint32_t done, uint32_t total, uint64_t bytes, double seconds) {
  constexpr int kWidth = 30;
  int filled = total ? static_cast<int>(uint64_t{done} * kWidth / total) : kWidth;
  double mbs = seconds > 0 ? bytes / 1e6 / seconds : 0;
  double left = done && total > done ? seconds * (total - done) / done : 0;
  std::fprintf(stderr, "\r[%.*s%*s] %u/%u sectors  %7.1f MB/s  %4.0f s left ", filled,
               "##############################", kWidth - filled, "", done, total, mbs, left);
}

void ShowDisc(const host::PluginApi& api) {
  std::printf("CDVDgetDiskType: %ld\n", (long)api.CDVDgetDiskType());
  std::printf("CDVDgetTrayStatus: %ld\n", (long)api.CDVDgetTrayStatus());
  host::TrackNumbers tn{};
  long tnResult = api.CDVDgetTN(&tn);
  std::printf("CDVDgetTN: %ld (first %u, last %u)\n", tnResult, tn.strack, tn.etrack);
  host::TrackDescriptor td{};
  long tdResult = api.CDVDgetTD(1, &td);
  std::printf("CDVDgetTD(1): %ld (lsn %lu, type 0x%02x)\n", tdResult, (unsigned long)td.lsn,
              td.type);
}

void ShowIsoVolume(const host::PluginApi& api) {
  player::IsoVolume volume = player::ReadIsoVolume([&](uint32_t lsn, uint8_t* dest) {
    if (api.CDVDreadTrack(lsn, 3) != 0) return false;
    const uint8_t* buffer = api.CDVDgetBuffer();
    if (buffer) std::memcpy(dest, buffer, 2048);
    return buffer != nullptr;
  });
  if (!volume.valid) {
    std::printf("no ISO 9660 volume descriptor at LSN 16\n");
    return;
  }
  std::printf("volume \"%s\", root directory:\n", volume.name.c_str());
  for (const player::DirectoryEntry& e : volume.root) {
    if (e.name == "." || e.name == "..") continue;
    std::printf("  %-32s %12lu %s\n", e.name.c_str(), (unsigned long)e.size,
                e.directory ? "<dir>" : "");
  }
}

// Counts one read's outcome, checks its sector against the image when there is one, and
// lists it when asked to.
void CountRead(Tally& t, const player::PlayerOptions& o, player::ImageVerifier* verifier,
               uint32_t lsn, int32_t result, const uint8_t* buffer) {
  size_t bytes = player::BytesForMode(o.mode);
  ++t.reads;
  (result == 0 ? t.ok : t.failed)++;
  if (!buffer) ++t.nullBuffers;
  if (result == 0 && buffer) t.bytes += bytes;
  if (verifier && buffer && result == 0)
    (verifier->Matches(lsn, o.mode, buffer) ? t.verified : t.mismatched)++;
  if (verifier && (result != 0 || !buffer)) ++t.mismatched;
  if (!o.list) return;
  if (buffer) {
    std::printf("read lsn %lu mode %ld: result %ld, checksum %08lx\n", (unsigned long)lsn,
                (long)o.mode, (long)result, (unsigned long)Checksum(buffer, bytes));
  } else {
    std::printf("read lsn %lu mode %ld: result %ld, buffer null\n", (unsigned long)lsn,
                (long)o.mode, (long)result);
  }
}

// Reads the sectors the options ask for, at their pace when they give one, checking each
// against the image when given, and dispatching the thread's window messages every 64
// reads when dispatch is set.
Tally ReadSectors(const host::PluginApi& api, const player::PlayerOptions& o,
                  player::ImageVerifier* verifier, uint32_t count, bool dispatch) {
  Tally t;
  t.blocks = player::BlockTimes(o.blockTimes);
  player::ReadPacer pacer(o.paceMBs, player::BytesForMode(o.mode));
  std::mt19937 random(o.seed);
  uint32_t total = o.random ? o.random : count;
  auto start = Clock::now(), shown = start;
  for (uint32_t i = 0; i < total; ++i) {
    uint32_t lsn =
        o.random ? o.first + static_cast<uint32_t>(random() % (count ? count : 1)) : o.first + i;
    pacer.WaitForNextRead();
    auto began = t.blocks.Begin();
    int32_t result = api.CDVDreadTrack(lsn, o.mode);
    const uint8_t* buffer = api.CDVDgetBuffer();
    t.blocks.End(began);
    CountRead(t, o, verifier, lsn, result, buffer);
    if ((i & 63) != 63) continue;
    // Under Wine a look at the message queue costs as much as dozens of reads from the
    // plugin's window: its time is kept apart, and the clock is read only here.
    auto now = Clock::now();
    if (dispatch) {
      PumpMessages();
      auto pumped = Clock::now();
      t.messageSeconds += std::chrono::duration<double>(pumped - now).count();
      now = pumped;
    }
    if (o.progress && now - shown > std::chrono::milliseconds(200)) {
      shown = now;
      ShowProgress(i + 1, total, t.bytes, std::chrono::duration<double>(now - start).count());
    }
  }
  t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (o.progress) {
    ShowProgress(total, total, t.bytes, t.seconds);
    std::fprintf(stderr, "\n");
  }
  return t;
}

// MB/s of reading the image in 4 MiB pieces and copying each sector's bytes of mode once.
double BaselineMBs(const std::string& path, int32_t mode) {
  player::ImageVerifier layout;
  if (!layout.Open(path)) return 0;
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  size_t stride = mode == 3 && layout.SectorSize() == 2048 ? 2048 : 2352;
  size_t skip = mode == 1 ? 12 : mode == 3 && layout.SectorSize() == 2352 ? 24 : 0;
  size_t bytes = player::BytesForMode(mode);
  std::vector<uint8_t> chunk(2048 * stride), sector(2352);
  uint64_t delivered = 0, checksum = 0;
  auto start = Clock::now();
  DWORD got = 0;
  while (::ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) && got) {
    for (size_t at = 0; at + skip + bytes <= got; at += stride) {
      std::memcpy(sector.data(), chunk.data() + at + skip, bytes);
      checksum += sector[at % bytes];
      delivered += bytes;
    }
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::CloseHandle(file);
  return seconds > 0 && checksum != 1 ? delivered / 1e6 / seconds : 0;
}

// Runs the plugin's dialog, driven by the script when there is one; false when the script
// could not do all it was asked.
bool Configure(const host::PluginApi& api, const player::DialogScript& script) {
  std::unique_ptr<player::DialogScriptRunner> runner;
  if (!script.Empty()) runner = std::make_unique<player::DialogScriptRunner>(script);
  api.CDVDconfigure();
  std::string error;
  if (runner && !runner->Finish(error)) {
    std::printf("dialog script: %s\n", error.c_str());
    return false;
  }
  return true;
}

// Everything a play does after CDVDconfigure, on whichever thread runs it.
struct Play {
  const host::PluginApi& api;
  const player::PlayerOptions& options;
  player::ImageVerifier* verifier;  // null: no --verify
  uint32_t count;
  bool dispatch;  // pump the thread's window messages between calls, as a GUI thread does
  Tally tally{};
};

// Opens the disc, shows it, reads it and closes and shuts the plugin down; the reads'
// tally lands in play.tally.
void RunPlay(Play& play) {
  const host::PluginApi& api = play.api;
  if (play.dispatch) PumpMessages();
  // A titled host passes the game it starts; here, the image the play is checked against.
  const std::string& title = play.options.verify;
  std::printf("CDVDopen: %ld\n", (long)api.CDVDopen(title.empty() ? nullptr : title.c_str()));
  if (play.dispatch) PumpMessages();
  ShowDisc(api);
  if (play.options.iso) ShowIsoVolume(api);
  play.tally = ReadSectors(api, play.options, play.verifier, play.count, play.dispatch);
  api.CDVDclose();
  api.CDVDshutdown();
}

// The reading thread: runs the Play it is given.
unsigned __stdcall ReaderThread(void* play) {
  RunPlay(*static_cast<Play*>(play));
  return 0;
}

// Runs the play on a reading thread of its own that dispatches no messages, while this
// thread dispatches its own until the reading thread ends, as a newer emulator's GUI
// thread does around its emulation thread; false when the thread cannot start.
bool RunPlayOnReaderThread(Play& play) {
  HANDLE thread =
      reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, ReaderThread, &play, 0, nullptr));
  if (!thread) return false;
  for (;;) {
    // MWMO_INPUTAVAILABLE: messages already in the queue when the wait starts (the
    // dialog's last ones, say) wake it too, not only those that arrive later.
    DWORD woke =
        ::MsgWaitForMultipleObjectsEx(1, &thread, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke != WAIT_OBJECT_0 + 1) {
      // The play must be over before its tally is read, even if this wait failed.
      if (woke != WAIT_OBJECT_0) ::WaitForSingleObject(thread, INFINITE);
      break;
    }
    PumpMessages();
  }
  ::CloseHandle(thread);
  return true;
}

// Prints the play's summary line, and the baseline's when one was asked for.
void PrintSummary(const Tally& t, const player::PlayerOptions& o) {
  std::printf("summary: %lu reads, %lu ok, %lu failed, %lu null buffers", (unsigned long)t.reads,
              (unsigned long)t.ok, (unsigned long)t.failed, (unsigned long)t.nullBuffers);
  if (!o.verify.empty()) {
    std::printf(", %lu verified, %lu mismatched", (unsigned long)t.verified,
                (unsigned long)t.mismatched);
  }
  std::printf(", %.1f MB/s, %.0f sectors/s, %.2f s (%.2f s of it dispatching messages)\n",
              t.seconds > 0 ? t.bytes / 1e6 / t.seconds : 0,
              t.seconds > 0 ? t.reads / t.seconds : 0, t.seconds, t.messageSeconds);
  if (!o.baseline.empty()) {
    double mbs = BaselineMBs(o.baseline, o.mode);
    double readSeconds = t.seconds - t.messageSeconds;
    double plugin = readSeconds > 0 ? t.bytes / 1e6 / readSeconds : 0;
    std::printf(
        "baseline: %.1f MB/s (large sequential reads of the image, one copy per sector); "
        "reads alone %.1f MB/s; plugin/baseline %.2f\n",
        mbs, plugin, mbs > 0 ? plugin / mbs : 0);
  }
  if (t.blocks.Enabled()) {
    char pace[48] = "";
    if (o.paceMBs > 0) std::snprintf(pace, sizeof pace, " (reads paced at %.2f MB/s)", o.paceMBs);
    std::printf("blocking per read call%s: %s\n", pace, t.blocks.Summary().c_str());
  }
}

// The dialog makes the settings folder the working directory: the script's files are named
// from here, in full, before it runs.
void MakeScriptPathsFull(player::DialogScript& script) {
  for (std::string* path : {&script.screenshot, &script.chooseFile}) {
    char full[MAX_PATH];
    if (!path->empty() && ::GetFullPathNameA(path->c_str(), MAX_PATH, full, nullptr)) *path = full;
  }
}

// How many sectors to play: as many as asked, or the verified image's from the first, or 16.
uint32_t SectorsToPlay(const player::PlayerOptions& o, const player::ImageVerifier& verifier) {
  if (!o.verify.empty() && (o.all || o.count == 0)) return verifier.SectorCount(o.mode) - o.first;
  return o.count ? o.count : 16;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  player::PlayerOptions o;
  std::string error;
  if (!player::ParsePlayerOptions(argc, argv, o, error)) {
    std::printf("%s", error.empty() ? player::PlayerHelp().c_str() : (error + "\n").c_str());
    return error.empty() ? 0 : 2;
  }
  MakeScriptPathsFull(o.script);
  HMODULE module = ::LoadLibraryA(o.plugin.c_str());
  host::PluginApi api;
  const char* missing = nullptr;
  if (!module || !api.Resolve(module, o.hostAbi, missing)) {
    std::printf("cannot use %s: %s\n", o.plugin.c_str(), module ? missing : "it does not load");
    return 1;
  }
  player::ImageVerifier verifier;
  if (!o.verify.empty() && !verifier.Open(o.verify)) {
    std::printf("cannot read %s\n", o.verify.c_str());
    return 1;
  }
  const uint32_t count = SectorsToPlay(o, verifier);
  std::printf("library: type %ld, name \"%s\", version 0x%08lx\n", (long)api.PS2EgetLibType(),
              api.PS2EgetLibName(), (unsigned long)api.PS2EgetLibVersion2(8));
  std::printf("CDVDinit: %ld\n", (long)api.CDVDinit());
  const bool scripted = !o.configure || Configure(api, o.script);
  // A host with an emulation thread starts it as soon as the dialog has closed.
  Play play{api, o, o.verify.empty() ? nullptr : &verifier, count, !o.readerThread, {}};
  if (!o.readerThread) {
    RunPlay(play);
  } else if (!RunPlayOnReaderThread(play)) {
    std::printf("cannot start the reading thread\n");
    return 1;
  }
  const Tally& t = play.tally;
  PrintSummary(t, o);
  ::FreeLibrary(module);
  return scripted && t.failed == 0 && t.mismatched == 0 ? 0 : 1;
}
