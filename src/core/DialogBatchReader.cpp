// The dialog's batch reader.
#include "core/DialogBatchReader.h"

#include "core/WireProtocol.h"

namespace korvane {

namespace {
// Reads a disc list that starts at batch[0], fetching the rest of its body as it comes.
void ReadListForDialog(std::string batch, platform::Connection& connection, DialogBatchSink& sink) {
  wire::DiscListReader reader;
  size_t used = 0;
  auto status = reader.Feed(batch, used);
  while (status == wire::DiscListReader::Status::kNeedMore) {
    if (!connection.WaitReadable(kDiscListStallMs)) {
      sink.OnListDropped("Disc list incomplete after " + std::to_string(kDiscListStallMs / 1000) +
                         " s: dropped");
      return;
    }
    batch = connection.Fetch();
    if (batch.empty() && !connection.IsConnected()) {
      sink.OnListDropped("Disc list cut off by the server: dropped");
      return;
    }
    status = reader.Feed(batch, used);
  }
  if (status == wire::DiscListReader::Status::kBad) {
    if (reader.LengthNotInteger()) {
      sink.OnListError(reader.Error());
    } else {
      sink.OnListDropped(reader.Error());
    }
    return;
  }
  for (const std::string& name : reader.Names()) sink.OnDiscName(name);
  sink.OnDiscListEnd();
}
}  // namespace

void ReadDialogBatch(std::string batch, platform::Connection& connection, DialogBatchSink& sink) {
  std::string_view rest = batch;
  while (!rest.empty()) {
    switch (rest[0]) {
      case wire::kText: {
        rest.remove_prefix(1);
        size_t length = wire::ServerTextLength(rest);
        if (length > 0) sink.OnServerText(rest.substr(0, length));
        rest.remove_prefix(length);
        break;
      }
      case wire::kDiscList:
        ReadListForDialog(std::string(rest), connection, sink);
        return;
      case wire::kPrompt:
        connection.Send(std::string(rest));
        return;
      default:
        return;
    }
  }
}

}  // namespace korvane
