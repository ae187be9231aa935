// The base every dialog window of the plugin shares. It runs a dialog from an in-memory
// template modally, binds itself to the dialog once, at WM_INITDIALOG, through the one
// dialog procedure, and forwards every message after that to the window's HandleMessage;
// nothing thrown ever unwinds into the system's code (the handlers report their own
// errors). It also holds the dialog's handle and its font.
#pragma once

#include <windows.h>

#include <vector>

namespace korvane::dialogs {

class BoundDialog {
 public:
  BoundDialog(const BoundDialog&) = delete;
  BoundDialog& operator=(const BoundDialog&) = delete;

 protected:
  // instance owns the dialog's windows.
  explicit BoundDialog(HINSTANCE instance);
  virtual ~BoundDialog();

  // Runs the dialog of template shape modally over owner (may be null) until it closes;
  // the result it ended with. Throws, naming the window as name, when it cannot be made.
  INT_PTR RunModal(const std::vector<WORD>& shape, HWND owner, const char* name);
  // One message of the bound dialog; what the dialog procedure returns for it.
  virtual INT_PTR HandleMessage(UINT message, WPARAM w, LPARAM l) = 0;
  // A font of the dialogs' face, pixels high, of weight; the caller deletes it.
  static HFONT MakeFont(int pixels, int weight);

  HINSTANCE instance_;
  HWND dialog_ = nullptr;  // while the dialog exists
  HFONT font_;             // the dialogs' face at its size, for the controls

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l);
};

}  // namespace korvane::dialogs
