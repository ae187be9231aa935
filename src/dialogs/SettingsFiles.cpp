// Settings files, read whole and rewritten whole through a temporary file (a crash in the
// middle of a save leaves the old settings, never an empty file).
#include "dialogs/SettingsFiles.h"

#include "platform/FileSystem.h"
#include "platform/WholeFile.h"

namespace korvane {

IoError::IoError(int code) : std::runtime_error(IoErrorText(code)), code_(code) {}

std::string IoErrorText(int code) {
  if (code == platform::kErrorAccessDenied) return "File access denied";
  return "I/O error " + std::to_string(code);
}

std::vector<std::string> SplitCommaFields(const std::string& bytes, size_t maxFields) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t comma; (comma = bytes.find(',', start)) != std::string::npos; start = comma + 1) {
    if (maxFields == 0 || fields.size() < maxFields)
      fields.push_back(bytes.substr(start, comma - start));
  }
  return fields;
}

std::string JoinCommaFields(const std::vector<std::string>& fields) {
  std::string bytes;
  for (const std::string& field : fields) bytes += field + ",";
  return bytes;
}

std::string SettingsPath(const std::string& folder, const char* name) {
  return folder + "\\" + name;
}

DialogSettings ReadSettingsFile(const std::string& folder, bool& existed) {
  std::string path = SettingsPath(folder, kSettingsFileName);
  existed = platform::FileExists(path);
  if (!existed) {
    // A folder that cannot be made shows up as the file's creation failing.
    if (!platform::FolderExists(folder)) platform::CreateFolder(folder);
    if (int error = platform::ReplaceFileContents(path, kDefaultSettings)) throw IoError(error);
    return {};
  }
  std::string bytes;
  if (int error = platform::ReadFileOpenedForUpdate(path, bytes)) throw IoError(error);
  const std::vector<std::string> fields = SplitCommaFields(bytes, kSettingsFields);
  DialogSettings settings;
  std::optional<std::string>* named[] = {&settings.address, &settings.port, &settings.user,
                                         &settings.password, &settings.localFile};
  for (size_t k = 0; k < fields.size(); ++k) *named[k] = fields[k];
  return settings;
}

std::vector<std::string> ReadServerList(const std::string& folder) {
  std::string path = SettingsPath(folder, kServerListFileName);
  if (!platform::FileExists(path)) return {};
  std::string bytes;
  if (int error = platform::ReadFileOpenedForUpdate(path, bytes)) throw IoError(error);
  return SplitCommaFields(bytes);
}

void WriteSettingsFile(const std::string& folder, const DialogSettings& settings) {
  std::string path = SettingsPath(folder, kSettingsFileName);
  const std::string text = JoinCommaFields(
      {settings.address.value_or(""), settings.port.value_or(""), settings.user.value_or(""),
       settings.password.value_or(""), settings.localFile.value_or("")});
  if (int error = platform::ReplaceFileContents(path, text)) throw IoError(error);
}

void WriteServerList(const std::string& folder, const std::vector<std::string>& entries) {
  std::string path = SettingsPath(folder, kServerListFileName);
  if (int error = platform::ReplaceFileContents(path, JoinCommaFields(entries)))
    throw IoError(error);
}

}  // namespace korvane
