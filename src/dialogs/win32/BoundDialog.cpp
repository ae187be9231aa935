// The dialog procedure that binds a BoundDialog to its window, and the modal run that hands
// it the BoundDialog.
#include "dialogs/win32/BoundDialog.h"

#include <stdexcept>
#include <string>

#include "dialogs/win32/ConfigLayout.h"

namespace korvane::dialogs {

BoundDialog::BoundDialog(HINSTANCE instance)
    : instance_(instance), font_(MakeFont(kFontPixels, FW_NORMAL)) {}

BoundDialog::~BoundDialog() {
  ::DeleteObject(font_);
}

INT_PTR BoundDialog::RunModal(const std::vector<WORD>& shape, HWND owner, const char* name) {
  INT_PTR result =
      ::DialogBoxIndirectParamA(instance_, reinterpret_cast<LPCDLGTEMPLATEA>(shape.data()), owner,
                                Procedure, reinterpret_cast<LPARAM>(this));
  if (result == -1) {
    throw std::runtime_error(std::string("Cannot show the ") + name + " window (error " +
                             std::to_string(::GetLastError()) + ")");
  }
  return result;
}

HFONT BoundDialog::MakeFont(int pixels, int weight) {
  return ::CreateFontA(-pixels, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, kFontFace);
}

INT_PTR CALLBACK BoundDialog::Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrA(window, DWLP_USER, l);
    reinterpret_cast<BoundDialog*>(l)->dialog_ = window;
  }
  auto* self = reinterpret_cast<BoundDialog*>(::GetWindowLongPtrA(window, DWLP_USER));
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
