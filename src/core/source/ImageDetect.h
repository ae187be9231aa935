// Sector size detection of a local disc image. A raw image (2352-byte sectors) starts with
// the CD sync pattern 00 FF FF FF FF FF FF FF FF FF FF 00; only bytes 0, 1 and 10 of it are
// tested. Anything else is taken as an image of 2048-byte sectors.
#pragma once

#include <cstdint>
#include <string>

#include "core/base/SectorBytes.h"
#include "core/base/Trace.h"

namespace korvane {

// Returns 2352 or 2048 for the image at path. Reads the file's first 11 bytes into bytes
// 0 to 10 of buffer; a file that cannot be opened or is shorter leaves the bytes it did not
// supply as they were, and they are tested as they are.
int32_t CDVDDetectIsoType(const std::string& path, SectorBytes& buffer, Trace& trace);

}  // namespace korvane
