// The process-wide state that the parts of the plugin share: what the configuration chose,
// and the sector buffer. One instance lives in
// the DLL for the life of the process; tests make their own.
//
// The dialog may run on another thread than the reads: the switches and numbers it sets
// are atomic; its texts reach the strings here through DialogChoices, applied by the
// thread that calls the entry points, which alone touches the rest.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/base/LibraryIdentity.h"
#include "core/base/SectorBytes.h"

namespace korvane {

struct PluginState {
  // Path of the local disc image, or of a ".map" cache index for offline replay.
  std::string LocalImagePath;
  // Sectors come from the disc server.
  std::atomic<bool> RemoteMode{false};
  // Gated trace lines are written.
  std::atomic<bool> DebugTrace{true};
  // Disc type reported to the host: 18 (PS2 CD) or 20 (PS2 DVD).
  std::atomic<uint8_t> DiskType{kDiskTypePs2Cd};
  // Folder, relative to the working directory, of the settings and block caches.
  std::string GamesFolder = "Games";
  // The one buffer handed to the host.
  SectorBytes SectorBuffer;
  // The remote disc chosen in the server's list, and the login for the server.
  std::atomic<int32_t> SelectedDiscIndex{0};
  std::string SelectedDiscName;
  std::string LoginUser;
  std::string LoginPassword;
  // The file name held by the most recent "Choose File" chooser; empty until one was used.
  std::string ImageFileChooser;
};

}  // namespace korvane
