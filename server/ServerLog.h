// The server's log: one line per event on standard output, each with the local time in
// front and flushed at once, so that a watcher sees it when it happens. Lines from
// different threads never interleave. A quiet log writes nothing.
#pragma once

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

namespace korvane::server {

class ServerLog final {
 public:
  explicit ServerLog(bool quiet, std::FILE* out = stdout) : quiet_(quiet), out_(out) {}

  // Writes text as one line.
  void Line(std::string_view text) {
    if (quiet_) return;
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    const bool known = localtime_s(&local, &now) == 0;
#else
    const bool known = localtime_r(&now, &local) != nullptr;
#endif
    if (known) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "%s %.*s\n", stamp, static_cast<int>(text.size()), text.data());
    std::fflush(out_);
  }

 private:
  bool quiet_;
  std::FILE* out_;
  std::mutex mutex_;
};

// text made safe for a log line and a terminal: UTF-8 characters from U+00A0 up stay as
// they are; every other byte (C0 and C1 controls, DEL, ESC, bytes that are no UTF-8 or that
// encode a C1 control) becomes \xNN, and a backslash becomes \\. At most limit bytes of
// text are kept.
std::string Printable(std::string_view text, size_t limit = 64);

}  // namespace korvane::server
