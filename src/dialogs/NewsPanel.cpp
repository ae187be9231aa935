// The news panel: the fetch of the news page and its batches turned into the news box's
// lines.
#include "dialogs/NewsPanel.h"

#include "dialogs/NewsText.h"

namespace korvane {

NewsPanel::NewsPanel(FormContext& form) : form_(form), webSocket_(*this) {
  webSocket_.SetHost(kNewsHost);
  webSocket_.SetPortNumber(kNewsPort);
}

NewsPanel::~NewsPanel() = default;

void NewsPanel::NewsButtonClick() {
  form_.controls.newsLines.clear();
  form_.Show(ConfigControl::kNews);
  webSocket_.Activate();  // nothing when an earlier fetch's connection is still up
}

void NewsPanel::SetNewsServer(const std::string& host, int port) {
  newsHost_ = host;
  webSocket_.SetHost(host);
  webSocket_.SetPortNumber(port);
}

void NewsPanel::OnConnect() {
  webSocket_.Send(BuildNewsRequest(newsHost_));
}

void NewsPanel::OnRead() {
  // Events run inside the connection's window procedure: nothing may escape.
  try {
    WebSocketRead();
  } catch (...) {
  }
}

void NewsPanel::WebSocketRead() {
  std::string batch = webSocket_.Fetch();
  if (batch.empty()) return;
  std::vector<std::string> lines = ConvertNewsBatch(batch);
  std::vector<std::string>& shown = form_.controls.newsLines;
  shown.insert(shown.end(), lines.begin(), lines.end());
  form_.Show(ConfigControl::kNews);
}

}  // namespace korvane
