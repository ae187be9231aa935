// The "About..." box: a dialog built from an in-memory template and a small control table,
// run as a BoundDialog, which forwards each message to a named handler; nothing thrown ever
// leaves it.
//
// The banner is a JPEG in the DLL's resources (AboutBox.rc). It is decoded with the
// system's own picture support, OleLoadPicture over a stream on a memory block, so the DLL
// needs no image library, and drawn once, stretched, into a bitmap of the picture
// control's size that the control shows.
#include "dialogs/win32/AboutBox.h"

#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/base/LibraryIdentity.h"
#include "dialogs/AboutControlIds.h"
#include "dialogs/win32/BoundDialog.h"
#include "dialogs/win32/ConfigLayout.h"

namespace korvane {

namespace {

constexpr char kThanks[] =
    "Thanks to the developers and the beta testers of the Korvane CDVD plugin, who built it "
    "and tested it with so much patience.";
constexpr int kLabelFontPixels = 19;

struct AboutControl {
  int id;
  const char* windowClass;
  const char* text;  // the design text; DLLVer shows the library's name once open
  DWORD style;
  int left, top, width, height;
};

// In creation order; the button is the only stop of the keyboard's tab order.
constexpr AboutControl kControls[] = {
    {IDC_ABOUT_IMAGE1, "STATIC", "", SS_BITMAP, 0, 0, dialogs::kBannerWidth,
     dialogs::kBannerHeight},
    {IDC_ABOUT_LABEL1, "STATIC", kThanks, SS_CENTER | SS_NOPREFIX, 32, 128, 268, 120},
    {IDC_ABOUT_DLLVER, "STATIC", "DLLVersion", SS_CENTER | SS_NOPREFIX, 0, 306, 333, 13},
    {IDC_ABOUT_BUTTON1, "BUTTON", "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, 128, 272, 75, 25},
};

// COM on this thread for as long as it lives, for the picture decoder; a thread that
// already runs COM in another model keeps it.
class ComScope final {
 public:
  ComScope() : result_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT result_;
};

// A stream over a copy of the banner's bytes in a movable memory block, which the stream
// frees when released; null when the resource is missing.
IStream* OpenBannerStream(HINSTANCE dll) {
  HRSRC found = ::FindResourceA(dll, MAKEINTRESOURCEA(IDR_ABOUT_BANNER), RT_RCDATA);
  HGLOBAL loaded = found ? ::LoadResource(dll, found) : nullptr;
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  DWORD size = found ? ::SizeofResource(dll, found) : 0;
  if (!bytes || size == 0) return nullptr;
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
  void* copy = block ? ::GlobalLock(block) : nullptr;
  if (!copy) {
    if (block) ::GlobalFree(block);
    return nullptr;
  }
  std::memcpy(copy, bytes, size);
  ::GlobalUnlock(block);
  IStream* stream = nullptr;
  if (FAILED(::CreateStreamOnHGlobal(block, TRUE, &stream))) {
    ::GlobalFree(block);
    return nullptr;
  }
  return stream;
}

// Draws picture stretched over a new screen-compatible bitmap of width x height.
HBITMAP RenderStretched(IPicture& picture, int width, int height) {
  OLE_XSIZE_HIMETRIC pictureWidth = 0;
  OLE_YSIZE_HIMETRIC pictureHeight = 0;
  if (FAILED(picture.get_Width(&pictureWidth)) || FAILED(picture.get_Height(&pictureHeight))) {
    return nullptr;
  }
  HDC screen = ::GetDC(nullptr);
  HDC dc = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
  ::ReleaseDC(nullptr, screen);
  HRESULT drawn = E_FAIL;
  if (dc && bitmap) {
    HGDIOBJ previous = ::SelectObject(dc, bitmap);
    // Halftone keeps the shrunk banner's text smooth; it needs the brush origin set.
    ::SetStretchBltMode(dc, HALFTONE);
    ::SetBrushOrgEx(dc, 0, 0, nullptr);
    // Picture coordinates run bottom up: start at its height and go up by it.
    drawn = picture.Render(dc, 0, 0, width, height, 0, pictureHeight, pictureWidth, -pictureHeight,
                           nullptr);
    ::SelectObject(dc, previous);
  }
  if (dc) ::DeleteDC(dc);
  if (FAILED(drawn) && bitmap) {
    ::DeleteObject(bitmap);
    bitmap = nullptr;
  }
  return bitmap;
}

class AboutBox final : public dialogs::BoundDialog {
 public:
  AboutBox(HINSTANCE dll, const char* libraryName)
      : BoundDialog(dll),
        libraryName_(libraryName),
        labelFont_(MakeFont(kLabelFontPixels, FW_BOLD)) {}
  ~AboutBox() override {
    ::DeleteObject(labelFont_);
    if (banner_) ::DeleteObject(banner_);
  }

  // Shows the box modally over owner (may be null) until it closes; throws when it cannot.
  void Run(HWND owner);

 private:
  INT_PTR HandleMessage(UINT message, WPARAM w, LPARAM l) override;
  void OnInitDialog();
  void OnCommand(int id, int code);
  void CreateControls();

  const char* libraryName_;
  HFONT labelFont_;
  HBITMAP banner_ = nullptr;
  std::string failure_;  // why the box closed at once, when it did
};

void AboutBox::Run(HWND owner) {
  RunModal(dialogs::BuildDialogTemplate(dialogs::kAboutCaption), owner, "About");
  if (!failure_.empty()) throw std::runtime_error(failure_);
}

INT_PTR AboutBox::HandleMessage(UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return TRUE;  // the focus goes to the first tab stop: the OK button
    case WM_COMMAND:
      OnCommand(LOWORD(w), HIWORD(w));
      return TRUE;
    case WM_CLOSE:
      ::EndDialog(dialog_, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

void AboutBox::OnInitDialog() {
  try {
    CreateControls();
  } catch (const std::exception& error) {
    failure_ = error.what();
    ::EndDialog(dialog_, IDABORT);
    return;
  }
  ::SetDlgItemTextA(dialog_, IDC_ABOUT_DLLVER, libraryName_);
  // A banner that cannot be decoded leaves its place empty; the box is still of use.
  banner_ = dialogs::LoadBannerBitmap(instance_, dialogs::kBannerWidth, dialogs::kBannerHeight);
  if (banner_) {
    ::SendDlgItemMessageA(dialog_, IDC_ABOUT_IMAGE1, STM_SETIMAGE, IMAGE_BITMAP,
                          reinterpret_cast<LPARAM>(banner_));
  }
  dialogs::PlaceDialog(dialog_, dialogs::kAboutLeft, dialogs::kAboutTop, dialogs::kAboutClientWidth,
                       dialogs::kAboutClientHeight);
}

void AboutBox::OnCommand(int id, int code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_ABOUT_BUTTON1:
    case IDOK:
      ::EndDialog(dialog_, IDOK);
      return;
    case IDCANCEL:  // Escape
      ::EndDialog(dialog_, IDCANCEL);
      return;
  }
}

void AboutBox::CreateControls() {
  for (const AboutControl& row : kControls) {
    HWND control = ::CreateWindowExA(
        0, row.windowClass, row.text, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | row.style, row.left,
        row.top, row.width, row.height, dialog_,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance_, nullptr);
    if (!control) {
      throw std::runtime_error("Cannot create control " + std::to_string(row.id) + " (error " +
                               std::to_string(::GetLastError()) + ")");
    }
    HFONT font = row.id == IDC_ABOUT_LABEL1 ? labelFont_ : font_;
    ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
}

}  // namespace

void RunAboutBox(HINSTANCE dll, const char* libraryName) {
  ComScope com;
  AboutBox box(dll, libraryName);
  box.Run(::GetActiveWindow());
}

namespace dialogs {

HBITMAP LoadBannerBitmap(HINSTANCE dll, int width, int height) noexcept {
  IStream* stream = OpenBannerStream(dll);
  if (!stream) return nullptr;
  IPicture* picture = nullptr;
  STATSTG about{};
  HRESULT loaded = stream->Stat(&about, STATFLAG_NONAME);
  if (SUCCEEDED(loaded)) {
    loaded = ::OleLoadPicture(stream, static_cast<LONG>(about.cbSize.QuadPart), FALSE, IID_IPicture,
                              reinterpret_cast<void**>(&picture));
  }
  stream->Release();
  if (FAILED(loaded) || !picture) return nullptr;
  HBITMAP bitmap = RenderStretched(*picture, width, height);
  picture->Release();
  return bitmap;
}

}  // namespace dialogs
}  // namespace korvane
