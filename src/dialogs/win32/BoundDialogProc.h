// The one dialog procedure shape every window of the plugin uses: it binds the object whose
// address came with WM_INITDIALOG to the dialog, sets the object's dialog_ handle, forwards
// every message to its HandleMessage, and lets nothing thrown unwind into the system's code
// (the handlers report their own errors). A window class makes it a friend:
//
//   template <typename Window>
//   friend INT_PTR CALLBACK dialogs::BoundDialogProc(HWND, UINT, WPARAM, LPARAM);
//
// and passes BoundDialogProc<ItsClass> to DialogBoxIndirectParam with this as the parameter.
#pragma once

#include <windows.h>

namespace korvane::dialogs {

template <typename Window>
INT_PTR CALLBACK BoundDialogProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrA(window, DWLP_USER, l);
    reinterpret_cast<Window*>(l)->dialog_ = window;
  }
  auto* self = reinterpret_cast<Window*>(::GetWindowLongPtrA(window, DWLP_USER));
  if (!self) return FALSE;
  INT_PTR result = FALSE;
  try {
    result = self->HandleMessage(message, w, l);
  } catch (...) {
  }
  if (message == WM_NCDESTROY) self->dialog_ = nullptr;
  return result;
}

}  // namespace korvane::dialogs
