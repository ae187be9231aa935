// The one place where data moves between the "Config" window's controls and its form:
// Refresh writes a control from the form's ConfigControls, TextOf reads what a control
// shows. Writes are marked so that the change notifications they cause are not taken for
// the user's typing.
// windows.h first: the other two need its types.
#include <windows.h>

#include <commctrl.h>
#include <richedit.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dialogs/ConfigControlIds.h"
#include "dialogs/win32/ConfigWindow.h"

namespace korvane {

namespace {

// Hands a rich edit box the bytes of a string, for EM_STREAMIN.
DWORD CALLBACK StreamFromString(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* given) {
  auto* rest = reinterpret_cast<std::string_view*>(cookie);
  size_t count = std::min(rest->size(), static_cast<size_t>(wanted));
  std::memcpy(buffer, rest->data(), count);
  rest->remove_prefix(count);
  *given = static_cast<LONG>(count);
  return 0;
}

// Puts text in place of a rich edit box's selection as plain text. It is streamed in as
// text: handed over as a string, a text that begins with "{\rtf" would be read as RTF.
void ReplaceSelectionWithText(HWND box, const std::string& text) {
  std::string_view rest(text);
  EDITSTREAM stream{reinterpret_cast<DWORD_PTR>(&rest), 0, StreamFromString};
  ::SendMessageA(box, EM_STREAMIN, SF_TEXT | SFF_SELECTION, reinterpret_cast<LPARAM>(&stream));
}

// Marks the window's own writes into controls for as long as it lives; nests.
class RefreshScope final {
 public:
  explicit RefreshScope(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
  ~RefreshScope() { flag_ = was_; }

 private:
  bool& flag_;
  bool was_;
};

// The controls that show one text of the form's, and which.
struct TextControl {
  ConfigControl control;
  int id;
  std::string ConfigControls::*text;
};
constexpr TextControl kTextControls[] = {
    {ConfigControl::kIpEdit, IDC_IPEDIT, &ConfigControls::ipText},
    {ConfigControl::kPortEdit, IDC_PORTEDIT, &ConfigControls::portText},
    {ConfigControl::kUserEdit, IDC_USEREDIT, &ConfigControls::userText},
    {ConfigControl::kPasswordEdit, IDC_PASSWORDEDIT, &ConfigControls::passwordText},
    {ConfigControl::kLocalFileEdit, IDC_LOCALFILEEDIT, &ConfigControls::localFileText},
    {ConfigControl::kDiskTypeBox, IDC_DISKTYPEBOX, &ConfigControls::diskTypeText},
    {ConfigControl::kConnectButton, IDC_CONNECTBUTTON, &ConfigControls::connectCaption},
};

}  // namespace

void ConfigWindow::Refresh(ConfigControl control) {
  if (!dialog_) return;
  const ConfigControls& data = form_.Controls();
  RefreshScope scope(refreshing_);
  for (const TextControl& shown : kTextControls) {
    if (shown.control == control) return SetTextOf(shown.id, data.*shown.text);
  }
  switch (control) {
    case ConfigControl::kIpHistory:
      return ShowIpHistory();
    case ConfigControl::kCheckBox1:
      ::CheckDlgButton(dialog_, IDC_CHECKBOX1, data.debugChecked ? BST_CHECKED : BST_UNCHECKED);
      return;
    case ConfigControl::kOutput:
      return ShowOutput();
    case ConfigControl::kFileList:
      return ShowList(IDC_FILELIST, LB_RESETCONTENT, LB_ADDSTRING, data.fileList);
    case ConfigControl::kLocalCacheList:
      return ShowList(IDC_LOCALCACHELIST, LB_RESETCONTENT, LB_ADDSTRING, data.localCacheList);
    case ConfigControl::kCachePercent:
      ::SendDlgItemMessageA(dialog_, IDC_CACHEPERCENT, PBM_SETPOS,
                            static_cast<WPARAM>(data.cachePercent), 0);
      return;
    case ConfigControl::kNews:
      return ShowNews();
    default:
      return;  // a text control, shown above
  }
}

std::string ConfigWindow::TextOf(int id) const {
  HWND control = ::GetDlgItem(dialog_, id);
  std::string text(static_cast<size_t>(::GetWindowTextLengthA(control)) + 1, '\0');
  text.resize(
      static_cast<size_t>(::GetWindowTextA(control, &text[0], static_cast<int>(text.size()))));
  return text;
}

std::string ConfigWindow::PickedEntryOf(int id) const {
  HWND box = ::GetDlgItem(dialog_, id);
  LRESULT index = ::SendMessageA(box, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return TextOf(id);
  std::string text(static_cast<size_t>(::SendMessageA(box, CB_GETLBTEXTLEN, index, 0)) + 1, '\0');
  LRESULT length = ::SendMessageA(box, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(&text[0]));
  text.resize(length == CB_ERR ? 0 : static_cast<size_t>(length));
  return text;
}

void ConfigWindow::SetTextOf(int id, const std::string& text) {
  // Rewriting an unchanged text would put the caret back at the start while the user types.
  if (TextOf(id) != text) ::SetDlgItemTextA(dialog_, id, text.c_str());
}

void ConfigWindow::ShowOutput() {
  const std::vector<std::string>& lines = form_.Controls().outputLines;
  HWND box = ::GetDlgItem(dialog_, IDC_OUTPUT);
  if (lines.size() < outputShown_) {
    ::SetWindowTextA(box, "");
    outputShown_ = 0;
  }
  std::string added;
  for (; outputShown_ < lines.size(); ++outputShown_) added += lines[outputShown_] + "\r\n";
  if (added.empty()) return;
  int end = ::GetWindowTextLengthA(box);
  ::SendMessageA(box, EM_SETSEL, end, end);
  ::SendMessageA(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
}

void ConfigWindow::ShowList(int id, UINT reset, UINT add, const std::vector<std::string>& entries) {
  HWND list = ::GetDlgItem(dialog_, id);
  ::SendMessageA(list, reset, 0, 0);
  for (const std::string& entry : entries) {
    ::SendMessageA(list, add, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  }
}

void ConfigWindow::ShowNews() {
  const std::vector<std::string>& lines = form_.Controls().newsLines;
  HWND box = ::GetDlgItem(dialog_, IDC_NEWS);
  if (lines.size() < newsShown_) {
    ::SetWindowTextA(box, "");
    newsShown_ = 0;
  }
  std::string added;
  for (; newsShown_ < lines.size(); ++newsShown_) added += lines[newsShown_] + "\r\n";
  if (!added.empty()) {
    int end = ::GetWindowTextLengthA(box);  // never short of the end: a position past it is cut
    ::SendMessageA(box, EM_SETSEL, end, end);
    ReplaceSelectionWithText(box, added);
  }
  // The top of the news comes into view after each batch.
  ::SendMessageA(box, EM_SETSEL, 0, 0);
  ::SendMessageA(box, EM_SCROLLCARET, 0, 0);
}

void ConfigWindow::ShowIpHistory() {
  // Emptying a combo box's list empties its text too.
  ShowList(IDC_IPEDIT, CB_RESETCONTENT, CB_ADDSTRING, form_.Controls().ipHistory);
  SetTextOf(IDC_IPEDIT, form_.Controls().ipText);
}
}  // namespace korvane
