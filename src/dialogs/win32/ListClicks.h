// Mouse clicks on the entries of a list box, each reported once, whether or not it changed
// the selection. The list box of Windows tells its owner of changes only (LBN_SELCHANGE), so
// a click on the entry already selected would pass unseen; Wine's tells of every release
// but not of the second press of a double click. The list box is subclassed: a click is a
// press of the left button on an entry and its release, reported after the release with the
// entry then selected. The selection changes that the list box reports while it handles a
// press belong to that click; its owner ignores them (HandlingMouse) and takes the others,
// made with the keyboard, from LBN_SELCHANGE as before.
#pragma once

#include <windows.h>

#include <functional>

namespace korvane::dialogs {

class ListClicks final {
 public:
  ListClicks() = default;
  ListClicks(const ListClicks&) = delete;
  ListClicks& operator=(const ListClicks&) = delete;

  // Watches list until it is destroyed; onClick(selected index) runs after each click. It
  // must not throw. This object must outlive the list box.
  void Watch(HWND list, std::function<void(int)> onClick);

  // True while the list box handles a mouse press: a selection change it reports now
  // belongs to a click, which onClick reports.
  bool HandlingMouse() const { return depth_ > 0 || pressed_; }

 private:
  static LRESULT CALLBACK Procedure(HWND list, UINT message, WPARAM w, LPARAM l);
  LRESULT Handle(HWND list, UINT message, WPARAM w, LPARAM l);
  // Hands a message of a press to the list box's own procedure.
  LRESULT ByTheList(HWND list, UINT message, WPARAM w, LPARAM l);
  void Press(HWND list, LPARAM at);
  void Release(HWND list);

  std::function<void(int)> onClick_;
  WNDPROC original_ = nullptr;
  int depth_ = 0;                // press messages the list box is handling, nested
  bool pressed_ = false;         // a press awaits its release
  bool pressedOnEntry_ = false;  // ... and it was on an entry
  LRESULT selectedAtPress_ = LB_ERR;
};

}  // namespace korvane::dialogs
