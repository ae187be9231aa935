// The "Config" window's shape as data: its frame, and one row per control with its class,
// initial caption, styles, bounds and tab page, in keyboard tab order. ConfigWindow builds
// the window from this and never places a control itself.
#pragma once

#include <windows.h>

#include <vector>

namespace korvane::dialogs {

// Client area and screen position of the window, in pixels at 96 dpi.
inline constexpr int kWindowLeft = 273;
inline constexpr int kWindowTop = 103;
inline constexpr int kClientWidth = 667;
inline constexpr int kClientHeight = 454;

inline constexpr char kWindowCaption[] = "Config";
inline constexpr char kFontFace[] = "MS Sans Serif";
inline constexpr int kFontPixels = 11;  // 8 pt at 96 dpi
inline constexpr COLORREF kTextColour = RGB(0, 255, 255);
inline constexpr COLORREF kBackColour = RGB(0, 0, 0);

// The tab pages of MainControl, in tab order; kNone for controls of the window itself.
enum class Page { kNone = -1, kRemote = 0, kLocal = 1, kNews = 2 };
inline constexpr Page kOpeningPage = Page::kNews;

struct ControlSpec {
  int id;
  const char* windowClass;  // null: the rich edit class that was loaded
  const char* text;
  DWORD style;
  DWORD exStyle;
  int left, top, width, height;  // on a page: relative to the page's display area
  Page page;
};

// Every control, in the order it is created: focusable ones in keyboard tab order.
const std::vector<ControlSpec>& ConfigControlTable();

// The in-memory template of a bare dialog window: caption, fixed frame with a close box,
// no controls (they are made when it opens). Shared with the About box.
std::vector<WORD> BuildDialogTemplate(const char* caption);

// The in-memory dialog template of the bare "Config" window.
std::vector<WORD> BuildConfigTemplate();

// Creates every control of the table on dialog with font; page controls go to their place
// in MainControl's display area, shown only on kOpeningPage. Throws when one fails.
void CreateConfigControls(HWND dialog, HINSTANCE instance, HFONT font, const char* richEditClass);

// Shows the controls of page and hides those of the other pages.
void ShowConfigPage(HWND dialog, Page page);

// Moves dialog to screen position left, top with a client area of width x height.
void PlaceDialog(HWND dialog, int left, int top, int width, int height);

// Moves dialog to its screen position with the client area of the fixed size.
void PlaceConfigWindow(HWND dialog);

}  // namespace korvane::dialogs
