// The news panel of the "Config" dialog: one page fetched from the news host over its
// own connection WebSocket at every opening and on "Get News", shown as plain lines.
#include "core/NewsText.h"
#include "dialogs/ConfigForm.h"

namespace korvane {

void ConfigForm::NewsButtonClick() {
  controls_.newsLines.clear();
  view_.Refresh(ConfigControl::kNews);
  webSocket_.Activate();  // nothing when an earlier fetch's connection is still up
}

void ConfigForm::WebSocketConnect() {
  webSocket_.Send(BuildNewsRequest(newsHost_));
}

void ConfigForm::WebSocketRead() {
  std::string batch = webSocket_.Fetch();
  if (batch.empty()) return;
  std::vector<std::string> lines = ConvertNewsBatch(batch);
  controls_.newsLines.insert(controls_.newsLines.end(), lines.begin(), lines.end());
  view_.Refresh(ConfigControl::kNews);
}

void ConfigForm::NewsEvents::OnConnect() {
  form_.WebSocketConnect();
}

void ConfigForm::NewsEvents::OnRead() {
  // Events run inside the connection's window procedure: nothing may escape.
  try {
    form_.WebSocketRead();
  } catch (...) {
  }
}

}  // namespace korvane
