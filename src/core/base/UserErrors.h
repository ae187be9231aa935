// Errors that the plugin shows to the user rather than to the trace: in the product a
// message box, in tests a record of the messages.
#pragma once

#include <string>

namespace korvane {

class UserErrorReporter {
 public:
  virtual ~UserErrorReporter() = default;
  // Shows message to the user; returns once it was seen.
  virtual void ShowError(const std::string& message) = 0;
};

}  // namespace korvane
