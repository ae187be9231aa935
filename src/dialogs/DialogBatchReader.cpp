// The dialog's batch reader.
#include "dialogs/DialogBatchReader.h"

namespace korvane {

void DialogBatchReader::Receive(platform::Connection& connection, DialogBatchSink& sink) {
  size_t limit = 0;
  std::string& intake = stream_.Intake(limit);
  connection.FetchAppend(intake, limit);
  using Kind = ServerStream::Kind;
  for (ServerStream::Message m = stream_.Next(); m.kind != Kind::kNothing; m = stream_.Next()) {
    switch (m.kind) {
      case Kind::kText:
        if (!m.text.empty()) sink.OnServerText(m.text);
        break;
      case Kind::kDiscList:
        for (const std::string& name : m.names) sink.OnDiscName(name);
        sink.OnDiscListEnd();
        break;
      case Kind::kPrompt:
        connection.Send(m.text);
        break;
      case Kind::kUnframed:
        if (m.lengthNotInteger) {
          sink.OnListError(m.text);
        } else {
          sink.OnListDropped(m.text);
        }
        break;
      default:
        break;  // a byte that starts no message: the rest of its batch is dropped
    }
  }
}

void DialogBatchReader::Closed(DialogBatchSink& sink) {
  bool cutOff = stream_.HoldsPartial();
  stream_.Drop();
  if (cutOff) sink.OnListDropped("Disc list cut off by the server: dropped");
}

}  // namespace korvane
