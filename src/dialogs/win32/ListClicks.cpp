// The subclassed list boxes of ListClicks: the list box handles every message as ever; a
// press and its release around it make one click.
#include "dialogs/win32/ListClicks.h"

#include <utility>

namespace korvane::dialogs {

namespace {

constexpr char kWatcherProperty[] = "KorvaneListClicks";

LRESULT SelectedIn(HWND list) {
  return ::SendMessageA(list, LB_GETCURSEL, 0, 0);
}

}  // namespace

void ListClicks::Watch(HWND list, std::function<void(int)> onClick) {
  onClick_ = std::move(onClick);
  ::SetPropA(list, kWatcherProperty, this);
  original_ = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrA(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Procedure)));
}

LRESULT CALLBACK ListClicks::Procedure(HWND list, UINT message, WPARAM w, LPARAM l) {
  auto* self = static_cast<ListClicks*>(::GetPropA(list, kWatcherProperty));
  return self->Handle(list, message, w, l);
}

LRESULT ListClicks::Handle(HWND list, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {  // the second press of a double click is a click too
      Press(list, l);
      LRESULT result = ByTheList(list, message, w, l);
      // A list box that took no capture follows no release: the click ends here.
      if (::GetCapture() != list) Release(list);
      return result;
    }
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED: {
      // The release ends the press, and so does the capture taken by another window. The
      // list box lets the capture go inside its own handling of the release: one end.
      bool nested = depth_ > 0;
      LRESULT result = ByTheList(list, message, w, l);
      if (!nested) Release(list);
      return result;
    }
    case WM_NCDESTROY: {
      WNDPROC original = original_;
      ::SetWindowLongPtrA(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
      ::RemovePropA(list, kWatcherProperty);
      return ::CallWindowProcA(original, list, message, w, l);
    }
    default:
      return ::CallWindowProcA(original_, list, message, w, l);
  }
}

LRESULT ListClicks::ByTheList(HWND list, UINT message, WPARAM w, LPARAM l) {
  ++depth_;
  LRESULT result = ::CallWindowProcA(original_, list, message, w, l);
  --depth_;
  return result;
}

void ListClicks::Press(HWND list, LPARAM at) {
  LRESULT hit = ::SendMessageA(list, LB_ITEMFROMPOINT, 0, at);
  pressed_ = true;
  pressedOnEntry_ = HIWORD(hit) == 0 && LOWORD(hit) < ::SendMessageA(list, LB_GETCOUNT, 0, 0);
  selectedAtPress_ = SelectedIn(list);
}

void ListClicks::Release(HWND list) {
  if (!pressed_) return;
  pressed_ = false;
  // A press beside the entries counts when it moved the selection all the same.
  LRESULT selected = SelectedIn(list);
  if (pressedOnEntry_ || selected != selectedAtPress_) onClick_(static_cast<int>(selected));
}

}  // namespace korvane::dialogs
