// The "Config" dialog's handlers: settings at start-up and close, the fields that steer
// the plugin, and the remote disc panel with its own connection to the disc server.
#include "dialogs/ConfigForm.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "core/DiscName.h"
#include "core/SettingsFiles.h"
#include "core/WireProtocol.h"
#include "platform/FileSystem.h"

namespace korvane {

namespace {
constexpr char kDisconnect[] = "Disconnect";
}  // namespace

int StrToInt(const std::string& text) {
  int64_t value = 0;
  std::string digits = !text.empty() && text[0] == '+' ? text.substr(1) : text;
  if (!wire::ParseLengthField(digits, value)) {
    throw std::runtime_error(wire::InvalidIntegerMessage(text));
  }
  return static_cast<int>(value);
}

ConfigForm::ConfigForm(Plugin& plugin, ConfigView& view)
    : plugin_(plugin), view_(view), client_(*this), webSocket_(newsEvents_) {
  webSocket_.SetHost(kNewsHost);
  webSocket_.SetPortNumber(kNewsPort);
}

ConfigForm::~ConfigForm() = default;

PluginSocket& ConfigForm::Link() {
  PluginSocket* socket = plugin_.CurrentPluginSocket();
  return socket ? *socket : plugin_.CreatePluginSocket();
}

void ConfigForm::AppendOutput(const std::string& line) {
  controls_.outputLines.push_back(line);
  view_.Refresh(ConfigControl::kOutput);
}

void ConfigForm::FormCreate() {
  std::string here = platform::GetWorkingDirectory();
  settingsFolder_ = here + "\\" + plugin_.State().GamesFolder;
  LoadSettings();
  PointLocalCacheList(".\\" + plugin_.State().GamesFolder + "\\");
  NewsButtonClick();
}

void ConfigForm::LoadSettings() {
  bool existed = false;
  std::vector<std::string> fields = ReadSettingsFile(settingsFolder_, existed);
  for (size_t k = 0; k < fields.size(); ++k) ApplySettingsField(k + 1, fields[k]);
  std::vector<std::string> history = ReadServerList(settingsFolder_);
  controls_.ipHistory.insert(controls_.ipHistory.end(), history.begin(), history.end());
  view_.Refresh(ConfigControl::kIpHistory);
}

void ConfigForm::ApplySettingsField(size_t number, const std::string& value) {
  switch (number) {
    case 1:
      controls_.ipText = value;
      view_.Refresh(ConfigControl::kIpEdit);
      SetHostOf(Link().client, controls_.ipText);
      SetHostOf(client_, controls_.ipText);
      return;
    case 2:
      SetPortText(value);
      return;
    case 3:
      SetUserText(value);
      return;
    case 4:
      SetPasswordText(value);
      return;
    case 5:
      plugin_.Choices().SetLocalImagePath(value);
      controls_.localFileText = value;
      view_.Refresh(ConfigControl::kLocalFileEdit);
      return;
    default:
      return;
  }
}

void ConfigForm::SaveSettings() {
  WriteSettingsFile(settingsFolder_, {controls_.ipText, controls_.portText, controls_.userText,
                                      controls_.passwordText, controls_.localFileText});
}

void ConfigForm::RecordServerAddress() {
  std::vector<std::string>& history = controls_.ipHistory;
  if (std::find(history.begin(), history.end(), controls_.ipText) != history.end()) return;
  history.push_back(controls_.ipText);
  view_.Refresh(ConfigControl::kIpHistory);
  WriteServerList(settingsFolder_, history);
}

void ConfigForm::StartupTimer() {
  const std::string path = plugin_.Choices().Latest().LocalImagePath;
  if (path.empty()) return;
  controls_.localFileText = path;
  view_.Refresh(ConfigControl::kLocalFileEdit);
}

void ConfigForm::FormClose() {
  // The close that follows a failed one lets the dialog go without running again: the error
  // has been shown, the server was handed over already (a second hand-over would activate
  // the link twice), and a save that failed would fail again. So a settings file that cannot
  // be written costs the user one error box, never the way out of the dialog.
  if (closeFailed_) return;
  closeFailed_ = true;
  if (controls_.connectCaption == kDisconnect) HandOverToLink();
  CloseClient();
  SaveSettings();
  closeFailed_ = false;
}

void ConfigForm::Button2Click() {
  DialogChoices& choices = plugin_.Choices();
  choices.SetImageFileChooser("");  // a new chooser, with no file name yet
  std::string here = platform::GetWorkingDirectory();
  try {
    std::string chosen = view_.ChooseImageFile();
    choices.SetImageFileChooser(chosen);
    if (!chosen.empty()) {
      controls_.localFileText = chosen;
      view_.Refresh(ConfigControl::kLocalFileEdit);
      choices.SetLocalImagePath(controls_.localFileText);
    }
  } catch (...) {
    platform::SetWorkingDirectory(here);
    throw;
  }
  platform::SetWorkingDirectory(here);
}

}  // namespace korvane
