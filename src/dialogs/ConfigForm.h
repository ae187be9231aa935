// The logic of the "Config" dialog, free of any window system: the form that loads and
// saves the settings and steers the plugin from the dialog's fields, and composes the
// remote disc, local cache and news panels, whose handlers it passes on under their own
// names. The Win32 window shows ConfigControls and turns the user's input into the calls
// below; tests drive the same calls directly.
//
// Handlers report errors by throwing std::exception; the window shows what() in a message
// box and stays open. An exception from FormClose cancels that close; the next close goes
// through without running the close sequence again.
#pragma once

#include <string>

#include "core/SettingsPort.h"
#include "dialogs/ConfigView.h"
#include "dialogs/LocalPanel.h"
#include "dialogs/NewsPanel.h"
#include "dialogs/RemotePanel.h"
#include "platform/TcpClient.h"

namespace korvane {

struct DialogSettings;

class ConfigForm final {
 public:
  ConfigForm(SettingsPort& plugin, ConfigView& view);
  ~ConfigForm();
  ConfigForm(const ConfigForm&) = delete;
  ConfigForm& operator=(const ConfigForm&) = delete;

  const ConfigControls& Controls() const { return context_.controls; }
  platform::TcpClient& Client() { return remote_.Client(); }

  // The dialog's own handlers.
  // Loads the settings, lists the caches of the settings folder and fetches the news.
  void FormCreate();
  // Hands the server over to the link when connected, closes Client and saves the settings;
  // throws when that fails, and then does nothing at the next call (the dialog may close).
  void FormClose();
  // Shows the local file the plugin plays, when there is one.
  void StartupTimer();
  // "Choose File": the chosen image becomes the local file.
  void Button2Click();

  // The user's input: typing or picking changes a control's text; each runs its change
  // handler when the text really changed.
  void UserChangesIpText(const std::string& text);
  void UserChangesPortText(const std::string& text);
  void UserChangesUserText(const std::string& text);
  void UserChangesPasswordText(const std::string& text);
  void UserChangesLocalFileText(const std::string& text);
  void UserChangesDiskTypeText(const std::string& text);
  void UserSetsDebugInfo(bool checked);

  // The panels' handlers, each passed on to its panel.
  void ConnectButtonClick() { remote_.ConnectButtonClick(); }
  void FileListClick(int index) { remote_.FileListClick(index); }
  void Button1Click() { remote_.Button1Click(); }
  void LocalCacheListClick(int index) { local_.LocalCacheListClick(index); }
  void LocalCacheListMouseDown(bool rightButton) { local_.LocalCacheListMouseDown(rightButton); }
  void Delete1Click() { local_.Delete1Click(); }
  void NewsButtonClick() { news_.NewsButtonClick(); }
  // Fetches the news from another host and port than the build's (tests only).
  void SetNewsServer(const std::string& host, int port) { news_.SetNewsServer(host, port); }
  platform::TcpClient& WebSocket() { return news_.WebSocket(); }

 private:
  void LoadSettings();
  void SaveSettings();
  void ApplySettings(const DialogSettings& settings);
  void SetPortText(const std::string& text);
  void SetUserText(const std::string& text);
  void SetPasswordText(const std::string& text);
  // Both connections, the link's and Client, take the address of IPEdit.
  void ApplyHost();
  void IPEditChange();
  void PortEditChange();
  void DiskTypeBoxChange();

  FormContext context_;
  ConfigControls& controls_;
  RemotePanel remote_{context_};
  LocalPanel local_{context_};
  NewsPanel news_{context_};
  bool closeFailed_ = false;  // the last close sequence threw: the next close skips it
};

// The text of the conversion error of a port or length: "'text' is not a valid integer value".
int StrToInt(const std::string& text);

}  // namespace korvane
