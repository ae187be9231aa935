// What the configuration dialog sets on the plugin, by name, as one value: the dialog reads
// it with Plugin::Settings and changes it only through Plugin::ChangeSettings.
#pragma once

#include <cstdint>
#include <string>

#include "core/base/LibraryIdentity.h"

namespace korvane {

struct PluginSettings {
  bool remoteMode = false;            // sectors come from the disc server
  bool debugTrace = true;             // gated trace lines are written
  uint8_t diskType = kDiskTypePs2Cd;  // 18 (PS2 CD) or 20 (PS2 DVD)
  int32_t selectedDiscIndex = 0;      // the chosen disc in the server's list
  std::string localImagePath;         // a disc image, or a .map for offline replay
  std::string selectedDiscName;       // the chosen disc's file name
  std::string loginUser;
  std::string loginPassword;
  std::string imageFileChooser;  // the file the last chooser held, if any
};

}  // namespace korvane
