#include "platform/console.h"

#include <cstring>
#include <string>

namespace brindle {

void Console::Print(const char* format, const char* first, const char* second) {
  const char* arguments[] = {first, second};
  std::size_t used = 0;
  std::string line;
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's' && used < 2) {
      const char* argument = arguments[used++];
      line += argument != nullptr ? argument : "(null)";
      ++p;
    } else {
      line += *p;
    }
  }
  out_ << line;
  out_.flush();
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
  Print("%s\n", text);
  platform_.LocalFree(text);
}

void Console::PrintRebootAdvice() {
  failureReported_ = true;
  rebootAdvised_ = true;
  Print("Access denied.  Reboot the computer and run this program again.\n\n");
}

}  // namespace brindle
