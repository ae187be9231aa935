// The plugin's modal "About..." box on the plain Win32 API: a banner picture stored in the
// DLL's resources, a thank-you text, the library's name and an OK button. It holds no
// state of the plugin; everything it makes is released when it closes.
#pragma once

#include <windows.h>

namespace korvane {

// Runs the "About..." box modally on the calling thread; returns once it closed. dll is the
// module that owns the box's windows and holds its banner; libraryName is the name the
// DLL gives the host. Throws when the window cannot be made.
void RunAboutBox(HINSTANCE dll, const char* libraryName);

namespace dialogs {

// Client area and screen position of the box, in pixels at 96 dpi.
inline constexpr int kAboutLeft = 653;
inline constexpr int kAboutTop = 188;
inline constexpr int kAboutClientWidth = 333;
inline constexpr int kAboutClientHeight = 319;
inline constexpr char kAboutCaption[] = "About...";

// The banner's place; the picture is stretched to fill it.
inline constexpr int kBannerWidth = 337;
inline constexpr int kBannerHeight = 129;

// Decodes the JPEG banner held as raw data in dll's resources and draws it stretched to
// width x height into a new bitmap, which the caller deletes; null when it cannot.
HBITMAP LoadBannerBitmap(HINSTANCE dll, int width, int height) noexcept;

}  // namespace dialogs
}  // namespace korvane
