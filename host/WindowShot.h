// A picture of a window as the screen shows it, saved as a PNG file: 8-bit RGB, no
// interlace, one zlib stream of rows each led by filter 0 (none), in IHDR, IDAT and IEND
// chunks, each with its CRC. Any viewer opens it, where a .bmp of a screen is often refused.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace player {

// The PNG file of an image of width x height pixels given as rows of RGB bytes, top first.
std::vector<uint8_t> EncodePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);

// Saves what window shows on the screen as a PNG file at path; false when it cannot.
bool SaveWindowPng(HWND window, const std::string& path);

}  // namespace player
