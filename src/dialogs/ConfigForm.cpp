// The "Config" form's own handlers: the settings at start-up and at close, the local file
// shown at start-up and the image file chooser.
#include "dialogs/ConfigForm.h"

#include <stdexcept>

#include "core/WireProtocol.h"
#include "dialogs/SettingsFiles.h"
#include "platform/FileSystem.h"

namespace korvane {

int StrToInt(const std::string& text) {
  int64_t value = 0;
  std::string digits = !text.empty() && text[0] == '+' ? text.substr(1) : text;
  if (!wire::ParseLengthField(digits, value)) {
    throw std::runtime_error(wire::InvalidIntegerMessage(text));
  }
  return static_cast<int>(value);
}

ConfigForm::ConfigForm(Plugin& plugin, ConfigView& view)
    : context_{plugin, view, {}, {}}, controls_(context_.controls) {}

ConfigForm::~ConfigForm() = default;

void ConfigForm::FormCreate() {
  std::string here = platform::GetWorkingDirectory();
  context_.settingsFolder = here + "\\" + context_.plugin.State().GamesFolder;
  LoadSettings();
  local_.PointLocalCacheList(".\\" + context_.plugin.State().GamesFolder + "\\");
  news_.NewsButtonClick();
}

void ConfigForm::LoadSettings() {
  bool existed = false;
  std::vector<std::string> fields = ReadSettingsFile(context_.settingsFolder, existed);
  for (size_t k = 0; k < fields.size(); ++k) ApplySettingsField(k + 1, fields[k]);
  std::vector<std::string> history = ReadServerList(context_.settingsFolder);
  controls_.ipHistory.insert(controls_.ipHistory.end(), history.begin(), history.end());
  context_.Show(ConfigControl::kIpHistory);
}

void ConfigForm::ApplySettingsField(size_t number, const std::string& value) {
  switch (number) {
    case 1:
      controls_.ipText = value;
      context_.Show(ConfigControl::kIpEdit);
      ApplyHost();
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
      context_.plugin.Choices().SetLocalImagePath(value);
      controls_.localFileText = value;
      context_.Show(ConfigControl::kLocalFileEdit);
      return;
    default:
      return;
  }
}

void ConfigForm::SaveSettings() {
  WriteSettingsFile(context_.settingsFolder,
                    {controls_.ipText, controls_.portText, controls_.userText,
                     controls_.passwordText, controls_.localFileText});
}

void ConfigForm::StartupTimer() {
  const std::string path = context_.plugin.Choices().Latest().LocalImagePath;
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
  DialogChoices& choices = context_.plugin.Choices();
  choices.SetImageFileChooser("");  // a new chooser, with no file name yet
  std::string here = platform::GetWorkingDirectory();
  try {
    std::string chosen = context_.view.ChooseImageFile();
    choices.SetImageFileChooser(chosen);
    if (!chosen.empty()) {
      controls_.localFileText = chosen;
      context_.Show(ConfigControl::kLocalFileEdit);
      choices.SetLocalImagePath(controls_.localFileText);
    }
  } catch (...) {
    platform::SetWorkingDirectory(here);
    throw;
  }
  platform::SetWorkingDirectory(here);
}

}  // namespace korvane
