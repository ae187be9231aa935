// Drives KorvaneCDVD.dll as a host and its dialogs as a user, for tests under Wine: the DLL
// with its exports and its standard output caught in a file, and a dialog ("Config" or
// "About...") seen from a second thread while the export that shows it runs on the test's
// main thread. Every wait is bounded.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvane::test {

// KorvaneCDVD.dll loaded for one test, with the exports that the tests call.
struct PluginDll {
  PluginDll();
  ~PluginDll();
  PluginDll(const PluginDll&) = delete;
  PluginDll& operator=(const PluginDll&) = delete;

  HMODULE module;
  void(__stdcall* configure)() = nullptr;
  void(__stdcall* about)() = nullptr;
  int32_t(__stdcall* open)() = nullptr;
  void(__stdcall* close)() = nullptr;
  int32_t(__stdcall* readTrack)(uint32_t lsn, int32_t mode) = nullptr;
  uint8_t*(__stdcall* getBuffer)() = nullptr;
  int32_t(__stdcall* getDiskType)() = nullptr;
  int32_t(__stdcall* test)() = nullptr;
};

// Points the process's standard output at a file for as long as it lives: the plugin's
// trace lines land there.
class CapturedStdout final {
 public:
  explicit CapturedStdout(const std::string& path);
  ~CapturedStdout();
  CapturedStdout(const CapturedStdout&) = delete;
  CapturedStdout& operator=(const CapturedStdout&) = delete;
  // Everything written so far.
  std::string Text() const;

 private:
  std::string path_;
  HANDLE file_;
  HANDLE previous_;
};

// An open dialog of the plugin, driven from a thread other than its own.
class ConfigDialog final {
 public:
  explicit ConfigDialog(HWND window) : window_(window) {}
  HWND Window() const { return window_; }
  HWND Control(int id) const { return ::GetDlgItem(window_, id); }

  std::string Text(int id) const;
  // Sets the text as typing does (on a combo box: into its edit part).
  void SetText(int id, const std::string& text);
  // Types one character at the end of an edit's text; posted, so it may bring a message box.
  void TypeAtEnd(int id, char c);
  // Clicks a button; posted, so it may bring a message box.
  void Click(int id);
  // Types port into the port field, clicks "Connect" and waits until the server's disc
  // list of discs entries is shown; false (the log as it is in failure) when it is not.
  bool ConnectAndList(const std::string& port, size_t discs, std::string& failure);
  // Clicks a button by a message sent from this thread, as accessibility and automation
  // tools click; returns once the click is handled.
  void ClickBySending(int id);
  // Picks entry index of a list box or combo box as a mouse click does: a list box gets
  // the press and release of the left button at the middle of the entry (which must be in
  // view); posted.
  void Pick(int id, int index);
  // Clicks the tab of page index of MainControl.
  void ClickTab(int index);
  // Asks for the context menu of control id, as a right click on it does; posted.
  void OpenContextMenu(int id);
  // Chooses the item of the open popup menu with text, by keyboard; false when no menu
  // showed within timeoutMs or it has no such item.
  bool ChooseMenuItem(const std::string& text, int timeoutMs = 5000) const;
  std::vector<std::string> Entries(int id) const;
  // Waits until the control's text contains part; false after timeoutMs.
  bool WaitForText(int id, const std::string& part, int timeoutMs = 10000) const;
  // The text of the next error box of the plugin, which is dismissed; "" when none showed
  // within timeoutMs.
  std::string TakeMessageBox(int timeoutMs = 5000) const;
  // Answers the file chooser that the dialog opened: types path as the file name and
  // confirms, or cancels when path is empty. False when no chooser showed or it stayed.
  bool AnswerFileChooser(const std::string& path) const;
  // Closes the window as its close box does; false when it stayed open.
  bool Close() const;

 private:
  HWND window_;
};

// Runs show on this thread while script drives the dialog with caption from a second
// thread, and closes the dialog when the script leaves it open. A dialog that cannot be
// closed ends the process: a test must never hang.
void RunDialog(void(__stdcall* show)(), const char* caption,
               const std::function<void(ConfigDialog&)>& script);

// RunDialog for the "Config" dialog of configure.
void RunConfigure(void(__stdcall* configure)(), const std::function<void(ConfigDialog&)>& script);

// Dispatches this thread's messages until done() or timeoutMs passed; returns done().
bool PumpMessagesUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// Expects window's client area to be width x height, its frame's top left corner at
// (left, top), and its frame to have no sizing border and no minimize or maximize box.
void ExpectFixedWindow(HWND window, int width, int height, int left, int top);

// The whole file as bytes; "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace korvane::test
