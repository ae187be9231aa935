// The "Config" window's layout: the control table and the code that turns it into windows.
//
// The tab pages are not windows of their own. Their controls are children of the dialog,
// like every other control, so that GetDlgItem finds each one by its IDC_ id, and they are
// moved into MainControl's display area and shown or hidden with their page. MainControl
// is created last: it lies at the bottom of the z-order and clips its siblings, so it never
// paints over the page controls. Keyboard order therefore reaches the controls of the open
// page just before MainControl.
#include "dialogs/win32/ConfigLayout.h"

#include <commctrl.h>
#include <richedit.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "dialogs/ConfigControlIds.h"

namespace korvane::dialogs {

namespace {

constexpr DWORD kPushButton = WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD kEdit = WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD kComboBox = WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL;
constexpr DWORD kListBox = WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT;
constexpr DWORD kLabel = SS_LEFT | SS_NOPREFIX;
constexpr DWORD kSunken = WS_EX_CLIENTEDGE;
// A combo box's window includes its dropped list: room for eight entries below the field.
constexpr int kDropDownHeight = 8 * 13 + 2;

const char* const kPageTitles[] = {"Remote", "Local", "News"};
const char* const kDiskTypes[] = {"CDVD_TYPE_PS2CD", "CDVD_TYPE_PS2DVD"};

void Fail(const std::string& what) {
  throw std::runtime_error(what + " (error " + std::to_string(::GetLastError()) + ")");
}

// The News box holds plain text in one format. A rich edit box has no WM_CTLCOLOR*: it
// is told its colours directly. Its text mode can change only while it is empty.
void SetUpNewsBox(HWND news) {
  ::SendMessageA(news, EM_SETTEXTMODE, TM_PLAINTEXT | TM_MULTILEVELUNDO | TM_MULTICODEPAGE, 0);
  ::SendMessageA(news, EM_SETBKGNDCOLOR, 0, kBackColour);
  CHARFORMATA format{};
  format.cbSize = sizeof format;
  format.dwMask = CFM_COLOR;
  format.crTextColor = kTextColour;
  ::SendMessageA(news, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
  ::SendMessageA(news, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
}

// Labels size themselves to their text, as the given sizes were measured with the same
// face; a substitute face that runs wider would otherwise cut the text off.
void FitLabelToText(HWND label, HFONT font, const ControlSpec& row) {
  HDC dc = ::GetDC(label);
  HGDIOBJ previous = ::SelectObject(dc, font);
  SIZE extent{};
  ::GetTextExtentPoint32A(dc, row.text, static_cast<int>(std::strlen(row.text)), &extent);
  ::SelectObject(dc, previous);
  ::ReleaseDC(label, dc);
  if (extent.cx <= row.width && extent.cy <= row.height) return;
  ::SetWindowPos(label, nullptr, 0, 0, std::max<int>(extent.cx, row.width),
                 std::max<int>(extent.cy, row.height), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Settings that no window style carries.
void ApplyControlSettings(HWND dialog) {
  HWND diskTypes = ::GetDlgItem(dialog, IDC_DISKTYPEBOX);
  for (const char* entry : kDiskTypes) {
    ::SendMessageA(diskTypes, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
  }
  ::SendDlgItemMessageA(dialog, IDC_PASSWORDEDIT, EM_SETPASSWORDCHAR, '*', 0);
  ::SendDlgItemMessageA(dialog, IDC_OUTPUT, EM_SETLIMITTEXT, 0, 0);
  ::SendDlgItemMessageA(dialog, IDC_CACHEPERCENT, PBM_SETRANGE32, 0, 999999999);
  SetUpNewsBox(::GetDlgItem(dialog, IDC_NEWS));
}

// Adds the tab pages, then moves each page control into the display area, cut to it as a
// page would cut its children.
void ArrangePages(HWND dialog) {
  HWND tabs = ::GetDlgItem(dialog, IDC_MAINCONTROL);
  for (int page = 0; page < 3; ++page) {
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>(kPageTitles[page]);
    ::SendMessageA(tabs, TCM_INSERTITEMA, page, reinterpret_cast<LPARAM>(&item));
  }
  ::SendMessageA(tabs, TCM_SETCURSEL, static_cast<WPARAM>(kOpeningPage), 0);
  RECT area;
  ::GetClientRect(tabs, &area);
  ::SendMessageA(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
  ::MapWindowPoints(tabs, dialog, reinterpret_cast<POINT*>(&area), 2);
  for (const ControlSpec& row : ConfigControlTable()) {
    if (row.page == Page::kNone) continue;
    int left = area.left + row.left, top = area.top + row.top;
    int width = std::min<int>(row.width, area.right - left);
    int height = std::min<int>(row.height, area.bottom - top);
    ::MoveWindow(::GetDlgItem(dialog, row.id), left, top, width, height, FALSE);
  }
}

}  // namespace

const std::vector<ControlSpec>& ConfigControlTable() {
  static const std::vector<ControlSpec> table = {
      {IDC_BUTTON1, "BUTTON", "Close", kPushButton, 0, 592, 328, 75, 25, Page::kNone},
      {IDC_OUTPUT, "EDIT", "", WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL, kSunken, 0, 0, 217, 313,
       Page::kNone},
      {IDC_USEREDIT, "EDIT", "", kEdit, kSunken, 0, 384, 121, 21, Page::kNone},
      {IDC_PASSWORDEDIT, "EDIT", "", kEdit | ES_PASSWORD, kSunken, 128, 384, 121, 21, Page::kNone},
      {IDC_CONNECTBUTTON, "BUTTON", "Connect", kPushButton, 0, 256, 328, 75, 25, Page::kNone},
      {IDC_PORTEDIT, "EDIT", "", kEdit, kSunken, 128, 328, 121, 21, Page::kNone},
      {IDC_LOCALFILEEDIT, "EDIT", "", kEdit, kSunken, 2, 432, 591, 21, Page::kNone},
      {IDC_BUTTON2, "BUTTON", "Choose File", kPushButton, 0, 592, 432, 75, 22, Page::kNone},
      {IDC_CHECKBOX1, "BUTTON", "Debug Info", WS_TABSTOP | BS_AUTOCHECKBOX, 0, 328, 368, 73, 17,
       Page::kNone},
      {IDC_DISKTYPEBOX, "COMBOBOX", "", kComboBox, 0, 256, 384, 145, 21, Page::kNone},
      {IDC_IPEDIT, "COMBOBOX", "", kComboBox, 0, 0, 328, 121, 21, Page::kNone},
      {IDC_FILELIST, "LISTBOX", "", kListBox, kSunken, 0, 0, 442, 286, Page::kRemote},
      {IDC_LOCALCACHELIST, "LISTBOX", "", kListBox, kSunken, 0, 0, 441, 265, Page::kLocal},
      {IDC_CACHEPERCENT, PROGRESS_CLASSA, "", PBS_SMOOTH, 0, 0, 266, 441, 20, Page::kLocal},
      {IDC_NEWS, nullptr, "", WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL, kSunken, 0,
       0, 442, 269, Page::kNews},
      {IDC_NEWSBUTTON, "BUTTON", "Get News", kPushButton, 0, 184, 270, 75, 17, Page::kNews},
      // Labels are painted on the window itself: below every other control that they touch.
      {IDC_LABEL1, "STATIC", "Server IP", kLabel, 0, 0, 312, 44, 13, Page::kNone},
      {IDC_LABEL2, "STATIC", "Port", kLabel, 0, 128, 312, 19, 13, Page::kNone},
      {IDC_LABEL4, "STATIC", "Username:", kLabel, 0, 0, 368, 51, 13, Page::kNone},
      {IDC_LABEL5, "STATIC", "Password", kLabel, 0, 128, 368, 46, 13, Page::kNone},
      {IDC_LABEL7, "STATIC", "DiskType", kLabel, 0, 256, 368, 45, 13, Page::kNone},
      {IDC_LABEL3, "STATIC", "Local File", kLabel, 0, 2, 416, 45, 13, Page::kNone},
      {IDC_MAINCONTROL, WC_TABCONTROLA, "", WS_TABSTOP, 0, 216, 0, 449, 313, Page::kNone},
  };
  return table;
}

std::vector<WORD> BuildDialogTemplate(const char* caption) {
  DLGTEMPLATE head{};
  head.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_CLIPCHILDREN;
  std::vector<WORD> words(sizeof head / sizeof(WORD));
  std::memcpy(words.data(), &head, sizeof head);
  words.push_back(0);  // no menu
  words.push_back(0);  // the system's dialog class
  for (const char* c = caption;; ++c) {
    words.push_back(static_cast<WORD>(static_cast<unsigned char>(*c)));
    if (*c == '\0') break;
  }
  return words;
}

std::vector<WORD> BuildConfigTemplate() {
  return BuildDialogTemplate(kWindowCaption);
}

void CreateConfigControls(HWND dialog, HINSTANCE instance, HFONT font, const char* richEditClass) {
  for (const ControlSpec& row : ConfigControlTable()) {
    bool shown = row.page == Page::kNone || row.page == kOpeningPage;
    bool combo = std::strcmp(row.windowClass ? row.windowClass : "", "COMBOBOX") == 0;
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | row.style | (shown ? WS_VISIBLE : 0);
    HWND control = ::CreateWindowExA(
        row.exStyle, row.windowClass ? row.windowClass : richEditClass, row.text, style, row.left,
        row.top, row.width, row.height + (combo ? kDropDownHeight : 0), dialog,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, nullptr);
    if (!control) Fail("Cannot create control " + std::to_string(row.id));
    ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (std::strcmp(row.windowClass ? row.windowClass : "", "STATIC") == 0) {
      FitLabelToText(control, font, row);
    }
  }
  ApplyControlSettings(dialog);
  ArrangePages(dialog);
}

void ShowConfigPage(HWND dialog, Page page) {
  // The other pages go first: no moment shows controls of two pages at once.
  for (bool showing : {false, true}) {
    for (const ControlSpec& row : ConfigControlTable()) {
      if (row.page == Page::kNone || (row.page == page) != showing) continue;
      ::ShowWindow(::GetDlgItem(dialog, row.id), showing ? SW_SHOW : SW_HIDE);
    }
  }
}

void PlaceDialog(HWND dialog, int left, int top, int width, int height) {
  RECT frame{0, 0, width, height};
  ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongA(dialog, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(::GetWindowLongA(dialog, GWL_EXSTYLE)));
  ::SetWindowPos(dialog, nullptr, left, top, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void PlaceConfigWindow(HWND dialog) {
  PlaceDialog(dialog, kWindowLeft, kWindowTop, kClientWidth, kClientHeight);
}

}  // namespace korvane::dialogs
