// The host side and the user side of the dialog tests: the DLL and its exports, standard
// output caught in a file, and the plugin's dialogs driven by control id from a second
// thread. Clicks and keystrokes are posted: a handler that shows a message box would
// otherwise keep the driving thread waiting on it.
#include "DialogDriver.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "dialogs/ConfigControlIds.h"

namespace korvane::test {

namespace {

constexpr char kErrorCaption[] = "KorvaneCDVD";
constexpr char kPopupMenuClass[] = "#32768";
constexpr int kMessageBoxTextId = 0xFFFF;

template <typename Done>
bool WaitUntil(Done done, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

template <typename Pointer>
void Resolve(HMODULE module, const char* name, Pointer& pointer) {
  pointer = reinterpret_cast<Pointer>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

bool IsComboBox(HWND control) {
  char name[32] = {};
  ::GetClassNameA(control, name, sizeof name);
  return ::lstrcmpiA(name, "ComboBox") == 0;
}

// A top-level window of this process: tests of other processes may show theirs meanwhile.
HWND FindOwnWindow(const char* windowClass, const char* caption) {
  for (HWND window = ::FindWindowExA(nullptr, nullptr, windowClass, caption); window;
       window = ::FindWindowExA(nullptr, window, windowClass, caption)) {
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == ::GetCurrentProcessId()) return window;
  }
  return nullptr;
}

HWND VisibleErrorBox() {
  HWND box = FindOwnWindow("#32770", kErrorCaption);
  return box && ::IsWindowVisible(box) ? box : nullptr;
}

BOOL CALLBACK FindEditBox(HWND window, LPARAM found) {
  char name[16] = {};
  ::GetClassNameA(window, name, sizeof name);
  if (::lstrcmpiA(name, "Edit") != 0) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

// The dialog once it is shown, or showing a start-up error; null when the export returned
// first or nothing came.
HWND WaitForDialog(const char* caption, const std::atomic<bool>& returned) {
  HWND window = nullptr;
  WaitUntil(
      [&] {
        window = FindOwnWindow("#32770", caption);
        return returned || (window && (::IsWindowVisible(window) || VisibleErrorBox()));
      },
      10000);
  return returned ? nullptr : window;
}

}  // namespace

PluginDll::PluginDll() : module(::LoadLibraryA("KorvaneCDVD.dll")) {
  if (!module) return;
  Resolve(module, "CDVDconfigure", configure);
  Resolve(module, "CDVDabout", about);
  Resolve(module, "CDVDopen", open);
  Resolve(module, "CDVDclose", close);
  Resolve(module, "CDVDreadTrack", readTrack);
  Resolve(module, "CDVDgetBuffer", getBuffer);
  Resolve(module, "CDVDgetDiskType", getDiskType);
  Resolve(module, "CDVDtest", test);
}

PluginDll::~PluginDll() {
  if (module) ::FreeLibrary(module);
}

CapturedStdout::CapturedStdout(const std::string& path)
    : path_(path),
      file_(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)),
      previous_(::GetStdHandle(STD_OUTPUT_HANDLE)) {
  ::SetStdHandle(STD_OUTPUT_HANDLE, file_);
}

CapturedStdout::~CapturedStdout() {
  ::SetStdHandle(STD_OUTPUT_HANDLE, previous_);
  ::CloseHandle(file_);
}

std::string CapturedStdout::Text() const {
  return ReadWholeFile(path_);
}

std::string ConfigDialog::Text(int id) const {
  HWND control = Control(id);
  std::string text(static_cast<size_t>(::SendMessageA(control, WM_GETTEXTLENGTH, 0, 0)) + 1, '\0');
  LRESULT length =
      ::SendMessageA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
  text.resize(static_cast<size_t>(length));
  return text;
}

void ConfigDialog::SetText(int id, const std::string& text) {
  HWND control = Control(id);
  if (!IsComboBox(control)) {
    ::SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    return;
  }
  // A combo box's edit part reports no change for WM_SETTEXT: replace its text as typing
  // over a selection does.
  HWND edit = ::FindWindowExA(control, nullptr, "Edit", nullptr);
  ::SendMessageA(edit, EM_SETSEL, 0, -1);
  ::SendMessageA(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
}

void ConfigDialog::TypeAtEnd(int id, char c) {
  LRESULT end = ::SendMessageA(Control(id), WM_GETTEXTLENGTH, 0, 0);
  ::SendMessageA(Control(id), EM_SETSEL, end, end);
  ::PostMessageA(Control(id), WM_CHAR, static_cast<unsigned char>(c), 1);
}

void ConfigDialog::Click(int id) {
  ::PostMessageA(Control(id), BM_CLICK, 0, 0);
}

bool ConfigDialog::ConnectAndList(const std::string& port, size_t discs, std::string& failure) {
  SetText(IDC_PORTEDIT, port);
  Click(IDC_CONNECTBUTTON);
  if (WaitForText(IDC_OUTPUT, "File List:" + std::to_string(discs))) return true;
  failure = Text(IDC_OUTPUT);
  return false;
}

void ConfigDialog::ClickBySending(int id) {
  ::SendMessageA(Control(id), BM_CLICK, 0, 0);
}

void ConfigDialog::Pick(int id, int index) {
  HWND control = Control(id);
  if (IsComboBox(control)) {
    ::SendMessageA(control, CB_SETCURSEL, index, 0);
    WPARAM notice = MAKEWPARAM(id, CBN_SELCHANGE);
    ::PostMessageA(window_, WM_COMMAND, notice, reinterpret_cast<LPARAM>(control));
    return;
  }
  // The press and release go through the list box's own mouse handling, as a user's do:
  // what the dialog learns of a click is then what the list box and the dialog make of it.
  RECT entry{};
  ::SendMessageA(control, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&entry));
  LPARAM at = MAKELPARAM((entry.left + entry.right) / 2, (entry.top + entry.bottom) / 2);
  ::PostMessageA(control, WM_LBUTTONDOWN, MK_LBUTTON, at);
  ::PostMessageA(control, WM_LBUTTONUP, 0, at);
}

void ConfigDialog::ClickTab(int index) {
  RECT tab{};
  ::SendMessageA(Control(IDC_MAINCONTROL), TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(&tab));
  LPARAM at = MAKELPARAM((tab.left + tab.right) / 2, (tab.top + tab.bottom) / 2);
  ::PostMessageA(Control(IDC_MAINCONTROL), WM_LBUTTONDOWN, MK_LBUTTON, at);
  ::PostMessageA(Control(IDC_MAINCONTROL), WM_LBUTTONUP, 0, at);
}

void ConfigDialog::OpenContextMenu(int id) {
  ::PostMessageA(window_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(Control(id)),
                 MAKELPARAM(-1, -1));
}

bool ConfigDialog::ChooseMenuItem(const std::string& text, int timeoutMs) const {
  HWND popup = nullptr;
  if (!WaitUntil(
          [&] {
            return (popup = FindOwnWindow(kPopupMenuClass, nullptr)) && ::IsWindowVisible(popup);
          },
          timeoutMs)) {
    return false;
  }
  HMENU menu = reinterpret_cast<HMENU>(::SendMessageA(popup, MN_GETHMENU, 0, 0));
  int count = ::GetMenuItemCount(menu);
  int wanted = -1;
  for (int i = 0; i < count && wanted < 0; ++i) {
    char item[128] = {};
    ::GetMenuStringA(menu, static_cast<UINT>(i), item, sizeof item, MF_BYPOSITION);
    if (text == item) wanted = i;
  }
  if (wanted < 0) return false;
  // The menu's own loop reads the keys from its thread's queue: down to the item, Enter.
  for (int i = 0; i <= wanted; ++i) ::PostMessageA(popup, WM_KEYDOWN, VK_DOWN, 0);
  ::PostMessageA(popup, WM_KEYDOWN, VK_RETURN, 0);
  return WaitUntil([&] { return !::IsWindowVisible(popup); }, timeoutMs);
}

std::vector<std::string> ConfigDialog::Entries(int id) const {
  HWND control = Control(id);
  bool combo = IsComboBox(control);
  std::vector<std::string> entries;
  LRESULT count = ::SendMessageA(control, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = ::SendMessageA(control, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, i, 0);
    std::string entry(static_cast<size_t>(length) + 1, '\0');
    ::SendMessageA(control, combo ? CB_GETLBTEXT : LB_GETTEXT, i,
                   reinterpret_cast<LPARAM>(&entry[0]));
    entry.resize(static_cast<size_t>(length));
    entries.push_back(entry);
  }
  return entries;
}

bool ConfigDialog::WaitForText(int id, const std::string& part, int timeoutMs) const {
  return WaitUntil([&] { return Text(id).find(part) != std::string::npos; }, timeoutMs);
}

std::string ConfigDialog::TakeMessageBox(int timeoutMs) const {
  HWND box = nullptr;
  if (!WaitUntil([&] { return (box = VisibleErrorBox()) != nullptr; }, timeoutMs)) return "";
  char text[1024] = {};
  ::GetDlgItemTextA(box, kMessageBoxTextId, text, sizeof text);
  ::PostMessageA(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  WaitUntil([&] { return !::IsWindow(box); }, 5000);
  return text;
}

bool ConfigDialog::AnswerFileChooser(const std::string& path) const {
  HWND chooser = nullptr;
  if (!WaitUntil(
          [&] { return (chooser = FindOwnWindow("#32770", "Open")) && ::IsWindowVisible(chooser); },
          10000)) {
    return false;
  }
  // The file name box is the chooser's only edit box, however deep its frame nests it.
  HWND name = nullptr;
  ::EnumChildWindows(chooser, FindEditBox, reinterpret_cast<LPARAM>(&name));
  ::SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  ::PostMessageA(chooser, WM_COMMAND, path.empty() ? IDCANCEL : IDOK, 0);
  return WaitUntil([&] { return !::IsWindow(chooser); }, 5000);
}

bool ConfigDialog::Close() const {
  ::PostMessageA(window_, WM_CLOSE, 0, 0);
  return WaitUntil(
      [&] {
        if (!VisibleErrorBox()) return !::IsWindow(window_);
        ADD_FAILURE() << "closing showed: " << TakeMessageBox(0);
        ::PostMessageA(window_, WM_CLOSE, 0, 0);
        return false;
      },
      10000);
}

void RunDialog(void(__stdcall* show)(), const char* caption,
               const std::function<void(ConfigDialog&)>& script) {
  std::atomic<bool> returned{false};
  std::thread driver([&] {
    HWND window = WaitForDialog(caption, returned);
    if (!window) {
      ADD_FAILURE() << "the " << caption << " window did not show";
      return;
    }
    ConfigDialog dialog(window);
    script(dialog);
    if (!returned && ::IsWindow(window) && !dialog.Close()) {
      std::fprintf(stderr, "the %s window does not close: stopping\n", caption);
      std::fflush(stderr);
      ::TerminateProcess(::GetCurrentProcess(), 3);
    }
  });
  show();
  returned = true;
  driver.join();
}

void RunConfigure(void(__stdcall* configure)(), const std::function<void(ConfigDialog&)>& script) {
  RunDialog(configure, "Config", script);
}

bool PumpMessagesUntil(const std::function<bool()>& done, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done() && std::chrono::steady_clock::now() < end) {
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&message);
      ::DispatchMessageA(&message);
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return done();
}

void ExpectFixedWindow(HWND window, int width, int height, int left, int top) {
  RECT client, frame;
  ::GetClientRect(window, &client);
  ::GetWindowRect(window, &frame);
  EXPECT_EQ(client.right, width);
  EXPECT_EQ(client.bottom, height);
  EXPECT_EQ(frame.left, left);
  EXPECT_EQ(frame.top, top);
  EXPECT_EQ(::GetWindowLongA(window, GWL_STYLE) & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
            0);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace korvane::test
