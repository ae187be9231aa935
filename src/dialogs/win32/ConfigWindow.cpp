// The "Config" window: a dialog built from an in-memory template and the control table
// (ConfigLayout), run as a BoundDialog, which forwards each message to a named handler;
// every call into the form
// goes through Guarded, so no exception ever leaves the procedure. The form's data reaches
// the controls in ConfigRefresh.cpp.
#include "dialogs/win32/ConfigWindow.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "dialogs/ConfigControlIds.h"
#include "dialogs/win32/ConfigLayout.h"

namespace korvane {

namespace {
constexpr UINT kDeleteCommand = 40001;  // "Delete" of the local cache list's menu
}  // namespace

namespace {

constexpr UINT_PTR kStartupTimer = 1;
constexpr char kErrorCaption[] = "KorvaneCDVD";
constexpr DWORD kChooserPathBytes = 4096;

constexpr ConfigControl kEveryControl[] = {
    ConfigControl::kIpHistory,    ConfigControl::kIpEdit,       ConfigControl::kPortEdit,
    ConfigControl::kUserEdit,     ConfigControl::kPasswordEdit, ConfigControl::kLocalFileEdit,
    ConfigControl::kDiskTypeBox,  ConfigControl::kCheckBox1,    ConfigControl::kConnectButton,
    ConfigControl::kOutput,       ConfigControl::kFileList,     ConfigControl::kLocalCacheList,
    ConfigControl::kCachePercent, ConfigControl::kNews};

// The News box's class: the newer rich edit library when the system has it. The library
// stays loaded while a dialog may use it.
class RichEditLibrary final {
 public:
  RichEditLibrary() {
    module_ = ::LoadLibraryA("msftedit.dll");
    if (module_) return;
    module_ = ::LoadLibraryA("riched20.dll");
    className_ = "RichEdit20A";
  }
  ~RichEditLibrary() {
    if (module_) ::FreeLibrary(module_);
  }
  RichEditLibrary(const RichEditLibrary&) = delete;
  RichEditLibrary& operator=(const RichEditLibrary&) = delete;
  const char* ClassName() const { return className_; }

 private:
  HMODULE module_;
  const char* className_ = "RICHEDIT50W";
};

}  // namespace

void RunConfigDialog(HINSTANCE dll, SettingsPort& plugin) {
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_WIN95_CLASSES};
  ::InitCommonControlsEx(&classes);
  RichEditLibrary richEdit;
  ConfigWindow window(dll, plugin, richEdit.ClassName());
  window.Run(::GetActiveWindow());
}

ConfigWindow::ConfigWindow(HINSTANCE instance, SettingsPort& plugin, const char* richEditClass)
    : BoundDialog(instance),
      richEditClass_(richEditClass),
      black_(::CreateSolidBrush(dialogs::kBackColour)),
      form_(plugin, *this) {}

ConfigWindow::~ConfigWindow() {
  ::DeleteObject(black_);
}

INT_PTR ConfigWindow::Run(HWND owner) {
  return RunModal(dialogs::BuildConfigTemplate(), owner, "Config");
}

INT_PTR ConfigWindow::HandleMessage(UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return TRUE;
    case WM_COMMAND:
      OnCommand(LOWORD(w), HIWORD(w));
      return TRUE;
    case WM_NOTIFY:
      OnNotify(*reinterpret_cast<const NMHDR*>(l));
      return FALSE;
    case WM_TIMER:
      if (w == kStartupTimer) OnStartupTimer();
      return TRUE;
    case WM_CTLCOLORDLG:
      return reinterpret_cast<INT_PTR>(black_);
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
      return OnControlColour(reinterpret_cast<HDC>(w));
    case WM_CLOSE:
      CloseWith(IDCANCEL);
      return TRUE;
    case WM_CONTEXTMENU:
      // A right click on the local cache list opens its menu; the selection stays.
      if (reinterpret_cast<HWND>(w) == ::GetDlgItem(dialog_, IDC_LOCALCACHELIST)) {
        Guarded([&] { form_.LocalCacheListMouseDown(true); });
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

void ConfigWindow::OnInitDialog() {
  if (!Guarded([&] { dialogs::CreateConfigControls(dialog_, instance_, font_, richEditClass_); })) {
    ::EndDialog(dialog_, IDABORT);
    return;
  }
  dialogs::PlaceConfigWindow(dialog_);
  // The list boxes report changes only: each click on an entry reaches the form through
  // ListClicks, the keyboard's changes through LBN_SELCHANGE.
  fileListClicks_.Watch(::GetDlgItem(dialog_, IDC_FILELIST),
                        [this](int index) { OnListClick(IDC_FILELIST, index); });
  localCacheListClicks_.Watch(::GetDlgItem(dialog_, IDC_LOCALCACHELIST),
                              [this](int index) { OnListClick(IDC_LOCALCACHELIST, index); });
  Guarded([&] {
    for (ConfigControl control : kEveryControl) Refresh(control);
  });
  ::SetTimer(dialog_, kStartupTimer, 1, nullptr);
  // A failed start-up has been shown; the dialog opens all the same.
  Guarded([&] { form_.FormCreate(); });
}

void ConfigWindow::OnCommand(int id, int code) {
  switch (id) {
    case IDC_PORTEDIT:
    case IDC_USEREDIT:
    case IDC_PASSWORDEDIT:
    case IDC_LOCALFILEEDIT:
      if (code == EN_CHANGE && !refreshing_) OnEditChange(id);
      return;
    case IDC_IPEDIT:
    case IDC_DISKTYPEBOX:
      if (!refreshing_) OnComboChange(id, code);
      return;
    case IDC_LOCALCACHELIST:
    case IDC_FILELIST: {
      // A change made by the mouse belongs to a click, which its ListClicks reports.
      const dialogs::ListClicks& clicks =
          id == IDC_FILELIST ? fileListClicks_ : localCacheListClicks_;
      if (code != LBN_SELCHANGE || clicks.HandlingMouse()) return;
      OnListClick(id, static_cast<int>(::SendDlgItemMessageA(dialog_, id, LB_GETCURSEL, 0, 0)));
      return;
    }
  }
  if (code == BN_CLICKED) OnButton(id);
}

void ConfigWindow::OnButton(int id) {
  switch (id) {
    case IDC_CHECKBOX1: {
      bool checked = ::IsDlgButtonChecked(dialog_, id) == BST_CHECKED;
      Guarded([&] { form_.UserSetsDebugInfo(checked); });
      return;
    }
    case IDC_CONNECTBUTTON:
      Guarded([&] { form_.ConnectButtonClick(); });
      return;
    case IDC_BUTTON2:
      Guarded([&] { form_.Button2Click(); });
      return;
    case IDC_NEWSBUTTON:
      Guarded([&] { form_.NewsButtonClick(); });
      return;
    case IDC_BUTTON1:
      // The button's result is set before its handler runs: the dialog closes even when
      // the handler fails.
      Guarded([&] { form_.Button1Click(); });
      CloseWith(IDOK);
      return;
  }
}

void ConfigWindow::OnEditChange(int id) {
  Guarded([&] {
    std::string text = TextOf(id);
    switch (id) {
      case IDC_PORTEDIT:
        form_.UserChangesPortText(text);
        break;
      case IDC_USEREDIT:
        form_.UserChangesUserText(text);
        break;
      case IDC_PASSWORDEDIT:
        form_.UserChangesPasswordText(text);
        break;
      case IDC_LOCALFILEEDIT:
        form_.UserChangesLocalFileText(text);
        break;
    }
  });
}

void ConfigWindow::OnComboChange(int id, int code) {
  if (code != CBN_EDITCHANGE && code != CBN_SELCHANGE) return;
  Guarded([&] {
    std::string text = code == CBN_SELCHANGE ? PickedEntryOf(id) : TextOf(id);
    if (id == IDC_IPEDIT) {
      form_.UserChangesIpText(text);
    } else {
      form_.UserChangesDiskTypeText(text);
    }
  });
}

void ConfigWindow::OnListClick(int id, int index) {
  Guarded([&] {
    if (id == IDC_FILELIST) {
      form_.FileListClick(index);
    } else {
      form_.LocalCacheListClick(index);
    }
  });
}

void ConfigWindow::OnNotify(const NMHDR& header) {
  if (header.idFrom != IDC_MAINCONTROL || header.code != TCN_SELCHANGE) return;
  LRESULT page = ::SendMessageA(header.hwndFrom, TCM_GETCURSEL, 0, 0);
  dialogs::ShowConfigPage(dialog_, static_cast<dialogs::Page>(page));
}

void ConfigWindow::OnStartupTimer() {
  ::KillTimer(dialog_, kStartupTimer);
  Guarded([&] { form_.StartupTimer(); });
}

INT_PTR ConfigWindow::OnControlColour(HDC dc) {
  ::SetTextColor(dc, dialogs::kTextColour);
  ::SetBkColor(dc, dialogs::kBackColour);
  return reinterpret_cast<INT_PTR>(black_);
}

void ConfigWindow::CloseWith(INT_PTR result) {
  // A failed close sequence has been shown and keeps the dialog open, so the user sees why;
  // the next close ends the dialog, as the form then lets it go (ConfigForm::FormClose).
  if (!Guarded([&] { form_.FormClose(); })) return;
  ::EndDialog(dialog_, result);
}

template <typename Handler>
bool ConfigWindow::Guarded(Handler handler) noexcept {
  try {
    handler();
    return true;
  } catch (const std::exception& error) {
    ShowError(error.what());
  } catch (...) {
    ShowError("Unknown error");
  }
  return false;
}

void ConfigWindow::ShowError(const char* text) noexcept {
  ::MessageBoxA(dialog_, text, kErrorCaption, MB_OK | MB_ICONERROR);
}

std::string ConfigWindow::ChooseImageFile() {
  std::vector<char> name(kChooserPathBytes, '\0');
  OPENFILENAMEA chooser{};
  chooser.lStructSize = sizeof chooser;
  chooser.hwndOwner = dialog_;
  chooser.lpstrFile = name.data();
  chooser.nMaxFile = kChooserPathBytes;
  chooser.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
  if (::GetOpenFileNameA(&chooser)) return name.data();
  if (DWORD error = ::CommDlgExtendedError()) {
    throw std::runtime_error("The file chooser failed (error " + std::to_string(error) + ")");
  }
  return "";
}

bool ConfigWindow::PopupLocalFileMenu() {
  POINT at{};
  ::GetCursorPos(&at);
  HMENU menu = ::CreatePopupMenu();
  ::AppendMenuA(menu, MF_STRING, kDeleteCommand, "Delete");
  UINT chosen = static_cast<UINT>(
      ::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN | TPM_TOPALIGN, at.x,
                       at.y, 0, dialog_, nullptr));
  ::DestroyMenu(menu);
  return chosen == kDeleteCommand;
}

}  // namespace korvane
