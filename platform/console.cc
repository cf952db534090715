#include "platform/console.h"

#include <string>

namespace brindle {

void Console::Print(const char* format, const char* first, const char* second) {
  const char* arguments[] = {first, second};
  std::size_t used = 0;
  std::string line;
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's' && used < 2) {
      const char* argument = arguments[used++];
      if (argument == nullptr) argument = "(null)";
      // Names and descriptions come from the registry: a control byte in
      // one must not break a line in two or reach the terminal.
      for (; *argument != '\0'; ++argument) {
        unsigned char c = static_cast<unsigned char>(*argument);
        line += (c < 0x20 || c == 0x7F) ? '?' : *argument;
      }
      ++p;
    } else {
      line += *p;
    }
  }
  Write(line);
}

void Console::PrintSystemError(ErrorCode code) {
  failureReported_ = true;
  char* text = nullptr;
  std::uint32_t length = platform_.FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, code,
      LANG_USER_DEFAULT, &text);
  if (length == 0 || text == nullptr) {
    // No text for this code: name it, so no failure goes unexplained.
    std::string number = std::to_string(code);
    Print("System error %s.\n\n", number.c_str());
    return;
  }
  // The system's own text as it gives it, its line end included.
  Write(std::string(text) + "\n");
  platform_.LocalFree(text);
}

void Console::PrintRebootAdvice() {
  failureReported_ = true;
  rebootAdvised_ = true;
  Print("Access denied.  Reboot the computer and run this program again.\n\n");
}

void Console::Write(const std::string& text) { out_ << text; }

}  // namespace brindle
