// Disc file names.
#include "core/base/DiscName.h"

#include <cctype>
#include <cstring>

namespace korvane {

namespace {
bool IsReservedDeviceName(const std::string& name) {
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && (stem.back() == ' ')) stem.pop_back();
  for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* device : kDevices) {
    if (stem == device) return true;
  }
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}
}  // namespace

std::string SafeFileName(const std::string& name) {
  std::string safe = name;
  for (char& c : safe) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || std::strchr("/\\:*?\"<>|", c)) c = '_';
  }
  if (IsReservedDeviceName(safe)) safe.insert(0, "_");
  return safe;
}

std::string DiscFileName(const std::string& listedName) {
  size_t slash = listedName.rfind('\\');
  return SafeFileName(slash == std::string::npos ? listedName : listedName.substr(slash + 1));
}

}  // namespace korvane
