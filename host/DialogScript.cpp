// The dialog script: Win32 messages sent to the dialog's controls from another thread.
#include "DialogScript.h"

#include <commctrl.h>

#include <chrono>
#include <cstdio>

#include "WindowShot.h"
#include "dialogs/ConfigControlIds.h"

namespace player {

namespace {
template <typename Condition>
bool WaitUntil(Condition done, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    ::Sleep(20);
  }
  return true;
}

struct DialogSearch {
  const char* caption;
  HWND found;
};

BOOL CALLBACK MatchOwnDialog(HWND window, LPARAM param) {
  auto& search = *reinterpret_cast<DialogSearch*>(param);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  char kind[16] = {}, text[64] = {};
  ::GetClassNameA(window, kind, sizeof kind);
  ::GetWindowTextA(window, text, sizeof text);
  if (process != ::GetCurrentProcessId() || lstrcmpA(kind, "#32770") != 0 ||
      lstrcmpA(text, search.caption) != 0 || !::IsWindowVisible(window)) {
    return TRUE;
  }
  search.found = window;
  return FALSE;
}

// The visible dialog of this process with the given caption, or null. Only this process's
// windows count: another program (or test) may show a dialog of the same caption meanwhile.
HWND FindOwnDialog(const char* caption) {
  DialogSearch search{caption, nullptr};
  ::EnumWindows(MatchOwnDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string TextOf(HWND control) {
  std::string text(static_cast<size_t>(::SendMessageA(control, WM_GETTEXTLENGTH, 0, 0)) + 1, '\0');
  text.resize(static_cast<size_t>(
      ::SendMessageA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]))));
  return text;
}

// Replaces a control's text as typing over a selection does, so that its change
// notification reaches the dialog (a combo box's edit part is typed into).
void TypeText(HWND control, const std::string& text) {
  char kind[32] = {};
  ::GetClassNameA(control, kind, sizeof kind);
  if (lstrcmpiA(kind, "ComboBox") == 0)
    control = ::FindWindowExA(control, nullptr, "Edit", nullptr);
  ::SendMessageA(control, EM_SETSEL, 0, -1);
  ::SendMessageA(control, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
}

// The index of the list box entry whose name, after its last "\", is name; -1 if none.
int FindEntry(HWND list, const std::string& name) {
  LRESULT count = ::SendMessageA(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::string entry(static_cast<size_t>(::SendMessageA(list, LB_GETTEXTLEN, i, 0)) + 1, '\0');
    entry.resize(static_cast<size_t>(
        ::SendMessageA(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(&entry[0]))));
    size_t slash = entry.rfind('\\');
    if (entry == name || (slash != std::string::npos && entry.substr(slash + 1) == name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

BOOL CALLBACK FindEditBox(HWND child, LPARAM found) {
  char kind[16] = {};
  ::GetClassNameA(child, kind, sizeof kind);
  if (lstrcmpiA(kind, "Edit") != 0) return TRUE;
  *reinterpret_cast<HWND*>(found) = child;
  return FALSE;
}

void Pick(HWND window, int id, int index) {
  HWND list = ::GetDlgItem(window, id);
  ::SendMessageA(list, LB_SETCURSEL, index, 0);
  ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

}  // namespace

DialogScriptRunner::DialogScriptRunner(DialogScript script)
    : script_(std::move(script)), thread_([this] { Run(); }) {}

DialogScriptRunner::~DialogScriptRunner() {
  if (thread_.joinable()) thread_.join();
}

bool DialogScriptRunner::Finish(std::string& error) {
  if (thread_.joinable()) thread_.join();
  error = error_;
  return error_.empty();
}

bool DialogScriptRunner::Step(bool done, const std::string& what) {
  if (!done && error_.empty()) error_ = what;
  return done;
}

bool DialogScriptRunner::ConnectToServer() {
  TypeText(Item(IDC_IPEDIT), script_.connectHost);
  TypeText(Item(IDC_PORTEDIT), script_.connectPort);
  TypeText(Item(IDC_USEREDIT), script_.user);
  TypeText(Item(IDC_PASSWORDEDIT), script_.password);
  ::PostMessageA(Item(IDC_CONNECTBUTTON), BM_CLICK, 0, 0);
  return Step(
      WaitUntil([&] { return TextOf(Item(IDC_OUTPUT)).find("File List:") != std::string::npos; },
                15000),
      "no disc list came from the server");
}

void DialogScriptRunner::ShowPage(int page) {
  HWND tabs = Item(IDC_MAINCONTROL);
  ::SendMessageA(tabs, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
  // A click on a tab reaches the dialog as this notification.
  NMHDR change{tabs, IDC_MAINCONTROL, static_cast<UINT>(TCN_SELCHANGE)};
  ::SendMessageA(window_, WM_NOTIFY, IDC_MAINCONTROL, reinterpret_cast<LPARAM>(&change));
}

bool DialogScriptRunner::PickServerDisc() {
  int index = FindEntry(Item(IDC_FILELIST), script_.disc);
  if (!Step(index >= 0, "the server does not list " + script_.disc)) return false;
  Pick(window_, IDC_FILELIST, index);
  ::Sleep(200);  // the selection reaches the server before the hand-over
  return true;
}

bool DialogScriptRunner::PickCache() {
  int index = FindEntry(Item(IDC_LOCALCACHELIST), script_.cache);
  if (!Step(index >= 0, "the Local tab does not list " + script_.cache)) return false;
  Pick(window_, IDC_LOCALCACHELIST, index);
  return Step(
      WaitUntil([&] { return TextOf(Item(IDC_LOCALFILEEDIT)).find(".map") != std::string::npos; },
                5000),
      "picking the cache did not set the local file");
}

bool DialogScriptRunner::ChooseFile() {
  ::PostMessageA(Item(IDC_BUTTON2), BM_CLICK, 0, 0);
  HWND chooser = nullptr;
  auto shown = [&] { return (chooser = FindOwnDialog("Open")) != nullptr; };
  if (!Step(WaitUntil(shown, 10000), "the file chooser did not show")) return false;
  // The file name box is the chooser's only edit box, however deep its frame nests it.
  HWND name = nullptr;
  ::EnumChildWindows(chooser, FindEditBox, reinterpret_cast<LPARAM>(&name));
  ::SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(script_.chooseFile.c_str()));
  ::PostMessageA(chooser, WM_COMMAND, IDOK, 0);
  if (Step(WaitUntil([&] { return !::IsWindow(chooser); }, 10000),
           "the file chooser stayed open")) {
    return true;
  }
  ::PostMessageA(chooser, WM_COMMAND, IDCANCEL, 0);
  return false;
}

void DialogScriptRunner::Run() {
  HWND& w = window_;
  bool found = WaitUntil([&] { return (w = FindOwnDialog("Config")) != nullptr; }, 20000);
  if (!Step(found, "the Config window did not show")) return;
  bool ok = script_.connectHost.empty() || ConnectToServer();
  ok = ok && (script_.disc.empty() || PickServerDisc());
  ok = ok && (script_.cache.empty() || PickCache());
  ok = ok && (script_.chooseFile.empty() || ChooseFile());
  if (!script_.screenshot.empty()) {
    // The picture shows the page the script worked on, as a user would have it in front.
    if (!script_.cache.empty() || !script_.chooseFile.empty()) {
      ShowPage(kLocalPage);
    } else if (!script_.connectHost.empty()) {
      ShowPage(kRemotePage);
    }
    ::Sleep(300);  // let the last changes paint
    Step(SaveWindowPng(w, script_.screenshot), "the screenshot could not be saved");
  }
  ::PostMessageA(Item(IDC_BUTTON1), BM_CLICK, 0, 0);
  if (!Step(WaitUntil([&] { return !::IsWindow(w); }, 10000), "the Config window did not close")) {
    ::PostMessageA(w, WM_CLOSE, 0, 0);  // so that the player can still end
  }
}

}  // namespace player
