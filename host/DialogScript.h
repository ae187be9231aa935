// Drives a plugin's "Config" dialog as a user would, for unattended runs: from a second
// thread while CDVDconfigure shows the dialog on the player's main thread, it finds the
// window by caption and its controls by their IDC_ ids, types, clicks and picks. Every
// wait is bounded; a step that does not complete stops the script and closes the dialog.
#pragma once

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace player {

struct DialogScript {
  std::string connectHost;  // non-empty: fill in the server and click Connect
  std::string connectPort;
  std::string user;
  std::string password;
  std::string disc;        // pick this disc of the server's list (name after its last "\")
  std::string cache;       // pick this entry of the Local tab's list
  std::string chooseFile;  // pick this file with "Choose File"
  std::string screenshot;  // save the window as a .png file before closing it
  bool Empty() const {
    return connectHost.empty() && disc.empty() && cache.empty() && chooseFile.empty() &&
           screenshot.empty();
  }
};

// Runs script against the next "Config" window on a thread of its own; Finish waits for
// it and tells whether every step completed, with what went wrong in error.
class DialogScriptRunner final {
 public:
  explicit DialogScriptRunner(DialogScript script);
  ~DialogScriptRunner();
  bool Finish(std::string& error);

 private:
  void Run();
  bool Step(bool done, const std::string& what);
  HWND Item(int id) const { return ::GetDlgItem(window_, id); }
  // The script's steps, in the order Run takes them; each true when it completed.
  bool ConnectToServer();
  bool PickServerDisc();
  bool PickCache();
  bool ChooseFile();
  // Brings the dialog's page to the front as a click on its tab does (the tab order:
  // kRemotePage, kLocalPage, then the news).
  void ShowPage(int page);
  static constexpr int kRemotePage = 0;
  static constexpr int kLocalPage = 1;

  DialogScript script_;
  std::string error_;
  HWND window_ = nullptr;
  std::thread thread_;
};

}  // namespace player
