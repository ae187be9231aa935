// Trace line assembly: the line and its CR LF go out in one write, so lines from the
// plugin never interleave with the host's output in the middle.
#include "core/base/Trace.h"

#include "platform/StdOutput.h"

namespace korvane {

void StdOutputTrace::Write(std::string_view text) {
  platform::WriteStdOutput(text.data(), text.size());
}

void Trace::Always(std::string_view line) {
  std::string text;
  text.reserve(line.size() + 2);
  text.append(line);
  text.append("\r\n");
  output_.Write(text);
}

}  // namespace korvane
