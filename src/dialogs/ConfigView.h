// What the "Config" form and its three panels share, free of any window system: the data
// each control holds, the names of the controls a window shows again, what the form needs
// of its window, and FormContext, the one place the form and every panel work on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/SettingsPort.h"

namespace korvane {

// What the dialog's controls hold.
struct ConfigControls {
  std::string ipText = "127.0.0.1";
  std::vector<std::string> ipHistory;  // the drop-down list of IPEdit
  std::string portText = "35000";
  std::string userText;
  std::string passwordText;
  std::string localFileText;
  std::string diskTypeText = "CDVD_TYPE_PS2CD";
  bool debugChecked = true;
  std::string connectCaption = "Connect";
  std::vector<std::string> outputLines;
  std::vector<std::string> fileList;
  std::vector<std::string> localCacheList;  // names of the caches in the list's folder
  int localCacheSelection = -1;             // the entry picked last, -1 for none
  int32_t cachePercent = 0;                 // position of the bar, 0 to 999999999
  std::vector<std::string> newsLines;       // the news box's lines
};

enum class ConfigControl {
  kIpEdit,
  kIpHistory,
  kPortEdit,
  kUserEdit,
  kPasswordEdit,
  kLocalFileEdit,
  kDiskTypeBox,
  kCheckBox1,
  kConnectButton,
  kOutput,
  kFileList,
  kLocalCacheList,
  kCachePercent,
  kNews,  // lines are appended or all cleared; the top of the news is brought into view
};

// The news host, a setting of the build: the news page is fetched from its port 80.
#ifndef KORVANE_NEWS_HOST
#define KORVANE_NEWS_HOST "localhost"
#endif
inline constexpr char kNewsHost[] = KORVANE_NEWS_HOST;
inline constexpr int kNewsPort = 80;
inline constexpr int32_t kCachePercentMax = 999999999;

// What the form needs of its window.
class ConfigView {
 public:
  virtual ~ConfigView() = default;
  // A control's data changed: the window shows it again (output lines are only appended).
  virtual void Refresh(ConfigControl control) = 0;
  // Runs the standard open-file dialog modally; the chosen file name, "" when cancelled.
  virtual std::string ChooseImageFile() = 0;
  // Shows the local cache list's popup menu with its corner at the mouse cursor; true
  // when its "Delete" was chosen.
  virtual bool PopupLocalFileMenu() = 0;
};

// The plugin, the window and the controls' data, as the form and each panel see them.
struct FormContext {
  SettingsPort& plugin;
  ConfigView& view;
  ConfigControls controls;
  std::string settingsFolder;  // where the settings files are, once the form has opened

  // The window shows control again.
  void Show(ConfigControl control) { view.Refresh(control); }
  // The plugin link's connection, made on first use.
  ServerSocket& Link() {
    ServerSocket* socket = plugin.CurrentPluginSocket();
    return socket ? *socket : plugin.CreatePluginSocket();
  }
};

}  // namespace korvane
