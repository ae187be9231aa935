// The configuration dialog's reader of what its connection receives: server texts up to
// their terminator (kept), disc lists with their names, and the disc prompt, which it
// echoes back. It reads through the stream parser with the dialog's rules: a list or a
// prompt ends the handling of its batch, and a list whose body has not all come stays until
// it does, so the dialog never waits on the network.
#pragma once

#include <string>
#include <string_view>

#include "platform/Connection.h"
#include "protocol/ServerStream.h"

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
  // A disc list that was dropped: its length is beyond the bound, or the connection
  // closed before its body was complete. why says which.
  virtual void OnListDropped(const std::string& why) = 0;
};

class DialogBatchReader final {
 public:
  DialogBatchReader() { stream_.SetRules(ServerStream::Rules::kDialog); }

  // Takes what connection holds now and reports every complete message to sink; answers a
  // prompt with its echo on connection.
  void Receive(platform::Connection& connection, DialogBatchSink& sink);
  // The connection closed: a list still incomplete is reported dropped, and nothing held
  // is kept for the next connection.
  void Closed(DialogBatchSink& sink);

 private:
  ServerStream stream_;
};

}  // namespace korvane
