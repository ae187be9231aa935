// The "Config" dialog's fields: address, port, login, disc type and "Debug Info", with the
// rule for handing a new address or port to the two connections.
#include <cctype>
#include <stdexcept>

#include "dialogs/ConfigForm.h"

namespace korvane {

namespace {
constexpr char kSocketActive[] = "Can't change value while socket is active";

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

void SetHostOf(platform::TcpClient& connection, const std::string& host) {
  if (SameIgnoringCase(connection.Host(), host)) return;
  if (!connection.SetHost(host)) throw std::runtime_error(kSocketActive);
}

void SetPortOf(platform::TcpClient& connection, int port) {
  if (connection.Port() == port) return;
  if (!connection.SetPortNumber(port)) throw std::runtime_error(kSocketActive);
}
}  // namespace

void ConfigForm::ApplyHost() {
  SetHostOf(context_.Link().client, controls_.ipText);
  SetHostOf(remote_.Client(), controls_.ipText);
}

void ConfigForm::IPEditChange() {
  if (controls_.ipText.empty()) return;
  ApplyHost();
}

void ConfigForm::PortEditChange() {
  if (controls_.portText.empty()) return;
  SetPortOf(context_.Link().client, StrToInt(controls_.portText));
  SetPortOf(remote_.Client(), StrToInt(controls_.portText));
}

void ConfigForm::DiskTypeBoxChange() {
  const uint8_t type =
      controls_.diskTypeText == "CDVD_TYPE_PS2CD" ? kDiskTypePs2Cd : kDiskTypePs2Dvd;
  context_.plugin.ChangeSettings([type](PluginSettings& s) { s.diskType = type; });
}

void ConfigForm::SetPortText(const std::string& text) {
  if (text == controls_.portText) return;
  controls_.portText = text;
  context_.Show(ConfigControl::kPortEdit);
  PortEditChange();
}

void ConfigForm::SetUserText(const std::string& text) {
  if (text == controls_.userText) return;
  controls_.userText = text;
  context_.Show(ConfigControl::kUserEdit);
  context_.plugin.ChangeSettings([&text](PluginSettings& s) { s.loginUser = text; });
}

void ConfigForm::SetPasswordText(const std::string& text) {
  if (text == controls_.passwordText) return;
  controls_.passwordText = text;
  context_.Show(ConfigControl::kPasswordEdit);
  context_.plugin.ChangeSettings([&text](PluginSettings& s) { s.loginPassword = text; });
}

void ConfigForm::UserChangesIpText(const std::string& text) {
  if (text == controls_.ipText) return;
  controls_.ipText = text;
  IPEditChange();
}

void ConfigForm::UserChangesPortText(const std::string& text) {
  if (text == controls_.portText) return;
  controls_.portText = text;
  PortEditChange();
}

void ConfigForm::UserChangesUserText(const std::string& text) {
  if (text == controls_.userText) return;
  controls_.userText = text;
  context_.plugin.ChangeSettings([&text](PluginSettings& s) { s.loginUser = text; });
}

void ConfigForm::UserChangesPasswordText(const std::string& text) {
  if (text == controls_.passwordText) return;
  controls_.passwordText = text;
  context_.plugin.ChangeSettings([&text](PluginSettings& s) { s.loginPassword = text; });
}

void ConfigForm::UserChangesLocalFileText(const std::string& text) {
  controls_.localFileText = text;  // no handler: it takes effect through the settings file
}

void ConfigForm::UserChangesDiskTypeText(const std::string& text) {
  if (text == controls_.diskTypeText) return;
  controls_.diskTypeText = text;
  DiskTypeBoxChange();
}

void ConfigForm::UserSetsDebugInfo(bool checked) {
  controls_.debugChecked = checked;
  context_.plugin.ChangeSettings([checked](PluginSettings& s) { s.debugTrace = checked; });
}

}  // namespace korvane
