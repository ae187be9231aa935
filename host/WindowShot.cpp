// Capturing a window from the screen and writing it as a PNG file.
#include "WindowShot.h"

#include <zlib.h>

#include <cstdio>

namespace player {

namespace {

void PutBigEndian(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// Appends a chunk: its length, its type, its data, and the CRC of type and data.
void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  PutBigEndian(out, static_cast<uint32_t>(data.size()));
  const size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  const uLong crc = crc32(0L, out.data() + typeAt, static_cast<uInt>(out.size() - typeAt));
  PutBigEndian(out, static_cast<uint32_t>(crc));
}

}  // namespace

std::vector<uint8_t> EncodePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb) {
  static const uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> png(kSignature, kSignature + sizeof kSignature);
  std::vector<uint8_t> header;
  PutBigEndian(header, width);
  PutBigEndian(header, height);
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, filters, no interlace
  PutChunk(png, "IHDR", header);
  const size_t rowBytes = size_t{width} * 3;
  std::vector<uint8_t> rows;
  rows.reserve((rowBytes + 1) * height);
  for (uint32_t y = 0; y < height; ++y) {
    rows.push_back(0);
    rows.insert(rows.end(), rgb.begin() + y * rowBytes, rgb.begin() + (y + 1) * rowBytes);
  }
  uLongf packedSize = compressBound(static_cast<uLong>(rows.size()));
  std::vector<uint8_t> packed(packedSize);
  compress2(packed.data(), &packedSize, rows.data(), static_cast<uLong>(rows.size()), 9);
  packed.resize(packedSize);
  PutChunk(png, "IDAT", packed);
  PutChunk(png, "IEND", {});
  return png;
}

bool SaveWindowPng(HWND window, const std::string& path) {
  RECT r{};
  ::GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return false;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  // A negative height gives the rows top first; 32 bits keep them without padding.
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  const auto* bgrx = static_cast<const uint8_t*>(bits);
  for (size_t pixel = 0; bits && pixel < static_cast<size_t>(w) * h; ++pixel) {
    rgb[pixel * 3] = bgrx[pixel * 4 + 2];
    rgb[pixel * 3 + 1] = bgrx[pixel * 4 + 1];
    rgb[pixel * 3 + 2] = bgrx[pixel * 4];
  }
  ::SelectObject(memory, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  if (!bits) return false;
  const std::vector<uint8_t> png = EncodePng(static_cast<uint32_t>(w), static_cast<uint32_t>(h), rgb);
  bool saved = false;
  if (std::FILE* out = std::fopen(path.c_str(), "wb")) {
    saved = std::fwrite(png.data(), png.size(), 1, out) == 1;
    saved = std::fclose(out) == 0 && saved;
  }
  return saved;
}

}  // namespace player
