// Everything the program says goes through a Console: the lines of the
// operations and the system's own text for an error code.
#ifndef BRINDLE_PLATFORM_CONSOLE_H_
#define BRINDLE_PLATFORM_CONSOLE_H_

#include "platform/output.h"
#include "platform/platform.h"

namespace brindle {

/// Standard output of one run, with a tally of the failures it reported.
class Console {
 public:
  Console(Platform& platform, Output& out) : platform_(platform), out_(out) {}

  /// Prints `format`, each "%s" in it replaced by the next argument, whose
  /// control characters are shown as '?'.
  void Print(const char* format, const char* first = nullptr,
             const char* second = nullptr);
  /// Prints the system's text for `code` and an empty line after it; counts
  /// as a reported failure.
  void PrintSystemError(ErrorCode code);
  /// Prints the advice to reboot that stands in for the text of a refused
  /// file deletion; counts as a reported failure that a reboot may mend.
  void PrintRebootAdvice();

  bool failureReported() const { return failureReported_; }
  bool rebootAdvised() const { return rebootAdvised_; }

 private:
  void Write(const char* text);
  void WriteShown(const char* text);

  Platform& platform_;
  Output& out_;
  bool failureReported_ = false;
  bool rebootAdvised_ = false;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_CONSOLE_H_
