// Trace lines: texts written to standard output, each followed by CR LF and flushed at
// once. Gated lines appear only while DebugTrace is set; a few lines are always written.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace korvane {

// Where trace text goes: standard output in the product, a string in tests.
class TraceOutput {
 public:
  virtual ~TraceOutput() = default;
  // Writes the text as one piece.
  virtual void Write(std::string_view text) = 0;
};

// The process's standard output.
class StdOutputTrace final : public TraceOutput {
 public:
  void Write(std::string_view text) override;
};

class Trace final {
 public:
  // debugTrace is the plugin's DebugTrace switch, read at every line on any thread.
  Trace(TraceOutput& output, const std::atomic<bool>& debugTrace)
      : output_(output), debugTrace_(debugTrace) {}

  // True while gated lines are written; test it before building a costly line.
  bool Enabled() const { return debugTrace_; }

  // Writes the line with CR LF while DebugTrace is set.
  void Gated(std::string_view line) {
    if (debugTrace_) Always(line);
  }

  // Writes the line with CR LF whatever DebugTrace says.
  void Always(std::string_view line);

 private:
  TraceOutput& output_;
  const std::atomic<bool>& debugTrace_;
};

// The prefix that most of the plugin's own lines carry.
inline constexpr std::string_view kTracePrefix = "KorvaneCDVD OutPut: ";

}  // namespace korvane
