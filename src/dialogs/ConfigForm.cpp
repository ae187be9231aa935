// The "Config" form's own handlers: the settings at start-up and at close, the local file
// shown at start-up and the image file chooser.
#include "dialogs/ConfigForm.h"

#include <stdexcept>

#include "dialogs/SettingsFiles.h"
#include "platform/FileSystem.h"
#include "protocol/Framing.h"

namespace korvane {

int StrToInt(const std::string& text) {
  int64_t value = 0;
  std::string digits = !text.empty() && text[0] == '+' ? text.substr(1) : text;
  if (!wire::ParseLengthField(digits, value)) {
    throw std::runtime_error(wire::InvalidIntegerMessage(text));
  }
  return static_cast<int>(value);
}

ConfigForm::ConfigForm(SettingsPort& plugin, ConfigView& view)
    : context_{plugin, view, {}, {}}, controls_(context_.controls) {}

ConfigForm::~ConfigForm() = default;

void ConfigForm::FormCreate() {
  std::string here = platform::GetWorkingDirectory();
  context_.settingsFolder = here + "\\" + context_.plugin.GamesFolder();
  LoadSettings();
  local_.PointLocalCacheList(".\\" + context_.plugin.GamesFolder() + "\\");
  news_.NewsButtonClick();
}

void ConfigForm::LoadSettings() {
  bool existed = false;
  ApplySettings(ReadSettingsFile(context_.settingsFolder, existed));
  std::vector<std::string> history = ReadServerList(context_.settingsFolder);
  controls_.ipHistory.insert(controls_.ipHistory.end(), history.begin(), history.end());
  context_.Show(ConfigControl::kIpHistory);
}

void ConfigForm::ApplySettings(const DialogSettings& settings) {
  if (settings.address) {
    controls_.ipText = *settings.address;
    context_.Show(ConfigControl::kIpEdit);
    ApplyHost();
  }
  if (settings.port) SetPortText(*settings.port);
  if (settings.user) SetUserText(*settings.user);
  if (settings.password) SetPasswordText(*settings.password);
  if (settings.localFile) {
    const std::string& path = *settings.localFile;
    context_.plugin.ChangeSettings([&path](PluginSettings& s) { s.localImagePath = path; });
    controls_.localFileText = *settings.localFile;
    context_.Show(ConfigControl::kLocalFileEdit);
  }
}

void ConfigForm::SaveSettings() {
  WriteSettingsFile(context_.settingsFolder,
                    {controls_.ipText, controls_.portText, controls_.userText,
                     controls_.passwordText, controls_.localFileText});
}

void ConfigForm::StartupTimer() {
  const std::string path = context_.plugin.Settings().localImagePath;
  if (path.empty()) return;
  controls_.localFileText = path;
  context_.Show(ConfigControl::kLocalFileEdit);
}

void ConfigForm::FormClose() {
  // The close that follows a failed one lets the dialog go without running again: the error
  // has been shown, the server was handed over already (a second hand-over would activate
  // the link twice), and a save that failed would fail again. So a settings file that cannot
  // be written costs the user one error box, never the way out of the dialog.
  if (closeFailed_) return;
  closeFailed_ = true;
  remote_.HandOverAndClose();
  SaveSettings();
  closeFailed_ = false;
}

void ConfigForm::Button2Click() {
  SettingsPort& plugin = context_.plugin;
  // A new chooser, with no file name yet.
  plugin.ChangeSettings([](PluginSettings& s) { s.imageFileChooser.clear(); });
  std::string here = platform::GetWorkingDirectory();
  try {
    const std::string chosen = context_.view.ChooseImageFile();
    plugin.ChangeSettings([&chosen](PluginSettings& s) {
      s.imageFileChooser = chosen;
      if (!chosen.empty()) s.localImagePath = chosen;
    });
    if (!chosen.empty()) {
      controls_.localFileText = chosen;
      context_.Show(ConfigControl::kLocalFileEdit);
    }
  } catch (...) {
    platform::SetWorkingDirectory(here);
    throw;
  }
  platform::SetWorkingDirectory(here);
}

}  // namespace korvane
