// The modal "Config" window on the plain Win32 API: it shows a ConfigForm's data in its
// controls and turns the user's input into the form's calls. The form holds every rule;
// this window only moves texts between controls and the form, and keeps every error of a
// handler inside the window procedure, shown in a message box.
#pragma once

#include <windows.h>

#include <string>

#include "core/SettingsPort.h"
#include "dialogs/ConfigForm.h"
#include "dialogs/win32/BoundDialog.h"
#include "dialogs/win32/ListClicks.h"

namespace korvane {

// Runs the "Config" dialog for plugin modally on the calling thread; returns once it closed.
// dll is the module that owns the dialog's windows. Throws when the window cannot be made.
void RunConfigDialog(HINSTANCE dll, SettingsPort& plugin);

class ConfigWindow final : public dialogs::BoundDialog, public ConfigView {
 public:
  // richEditClass names the window class of the News box, already registered.
  ConfigWindow(HINSTANCE instance, SettingsPort& plugin, const char* richEditClass);
  ~ConfigWindow() override;

  // Shows the window modally over owner (may be null); IDOK or IDCANCEL once it closed.
  INT_PTR Run(HWND owner);

  void Refresh(ConfigControl control) override;
  std::string ChooseImageFile() override;
  bool PopupLocalFileMenu() override;

 private:
  INT_PTR HandleMessage(UINT message, WPARAM w, LPARAM l) override;

  void OnInitDialog();
  void OnCommand(int id, int code);
  // A click on button (or check box) id: its handler.
  void OnButton(int id);
  void OnEditChange(int id);
  void OnComboChange(int id, int code);
  // A click on list id, or a change of its selection by the keyboard: the list's handler.
  void OnListClick(int id, int index);
  void OnNotify(const NMHDR& header);
  void OnStartupTimer();
  INT_PTR OnControlColour(HDC dc);
  void CloseWith(INT_PTR result);

  // Runs handler; an exception is shown in a message box. False when it threw.
  template <typename Handler>
  bool Guarded(Handler handler) noexcept;
  void ShowError(const char* text) noexcept;

  std::string TextOf(int id) const;
  // The entry picked in a combo box's list, which its text shows only after CBN_SELCHANGE.
  std::string PickedEntryOf(int id) const;
  void SetTextOf(int id, const std::string& text);
  void ShowOutput();
  void ShowList(int id, UINT reset, UINT add, const std::vector<std::string>& entries);
  void ShowIpHistory();
  void ShowNews();

  const char* richEditClass_;
  HBRUSH black_;
  size_t outputShown_ = 0;  // lines of the form's output already in the Output box
  // Set while the window writes the form's data into controls: the change notifications
  // that this causes are not the user's and are not passed on.
  bool refreshing_ = false;
  size_t newsShown_ = 0;  // lines of the form's news already in the News box
  dialogs::ListClicks fileListClicks_;
  dialogs::ListClicks localCacheListClicks_;
  ConfigForm form_;  // last: it is made with, and may call back into, the members above
};

}  // namespace korvane
