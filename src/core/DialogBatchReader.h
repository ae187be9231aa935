// The configuration dialog's reader of what its connection receives: server texts up to
// their terminator (kept), disc lists with their names, and the disc prompt, which it
// echoes back. It reads a batch from its first message on and stops after a disc list, a
// prompt, or a byte that starts no message.
#pragma once

#include <string>
#include <string_view>

#include "platform/Connection.h"

namespace korvane {

// What the dialog's reader reports.
class DialogBatchSink {
 public:
  virtual ~DialogBatchSink() = default;
  virtual void OnServerText(std::string_view text) = 0;
  virtual void OnDiscName(const std::string& name) = 0;
  virtual void OnDiscListEnd() = 0;
  // A disc list whose length field is no integer: the conversion message ("'x' is not a
  // valid integer value"), which the user is shown.
  virtual void OnListError(const std::string& message) = 0;
  // A disc list that was dropped: its length is beyond the bound, or its body stopped
  // arriving for kDiscListStallMs. why says which.
  virtual void OnListDropped(const std::string& why) = 0;
};

// How long the reader waits for the rest of a disc list when nothing arrives.
inline constexpr int kDiscListStallMs = 10000;

// Reads batch, fetching from connection while a disc list body is incomplete, and sends
// the prompt echo on it.
void ReadDialogBatch(std::string batch, platform::Connection& connection, DialogBatchSink& sink);

}  // namespace korvane
