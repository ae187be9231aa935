// Sector size detection from the first 11 bytes of an image.
#include "core/source/ImageDetect.h"

#include "core/base/ImageLayout.h"
#include "platform/ReadOnlyFile.h"

namespace korvane {

int32_t CDVDDetectIsoType(const std::string& path, SectorBytes& buffer, Trace& trace) {
  constexpr size_t kProbeBytes = 11;
  platform::ReadOnlyFile file;
  if (file.Open(path)) {
    size_t got = file.ReadAt(0, buffer.Data(), kProbeBytes);
    buffer.NoteWritten(0, got);
    file.Close();
  }
  int32_t size = SectorSizeFromProbe(buffer.Data());
  if (trace.Enabled()) {
    trace.Gated("KorvaneCDVD OutPut: CDVDDetectIsoType Called and returned " +
                std::to_string(size));
  }
  return size;
}

}  // namespace korvane
