#include "platform/console.h"

namespace brindle {

void Console::Print(const char* format, const char* first, const char* second) {
  const char* arguments[] = {first, second};
  unsigned used = 0;
  const char* literal = format;
  const char* p = format;
  for (; *p != '\0'; ++p) {
    if (p[0] != '%' || p[1] != 's' || used == 2) continue;
    out_.Write(literal, static_cast<std::size_t>(p - literal));
    const char* argument = arguments[used++];
    WriteShown(argument == nullptr ? "(null)" : argument);
    literal = ++p + 1;
  }
  out_.Write(literal, static_cast<std::size_t>(p - literal));
}

void Console::PrintSystemError(ErrorCode code) {
  failureReported_ = true;
  char* text = nullptr;
  std::uint32_t length = platform_.FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, code,
      LANG_USER_DEFAULT, &text);
  if (length == 0 || text == nullptr) {
    // No text for this code: name it, so no failure goes unexplained.
    char number[11];
    char* digits = number + sizeof number - 1;
    *digits = '\0';
    do {
      *--digits = static_cast<char>('0' + code % 10);
      code /= 10;
    } while (code != 0);
    Print("System error %s.\n\n", digits);
    return;
  }
  // The system's own text as it gives it, its line end included.
  Write(text);
  Write("\n");
  platform_.LocalFree(text);
}

void Console::PrintRebootAdvice() {
  failureReported_ = true;
  rebootAdvised_ = true;
  Print("Access denied.  Reboot the computer and run this program again.\n\n");
}

void Console::Write(const char* text) {
  std::size_t size = 0;
  while (text[size] != '\0') ++size;
  out_.Write(text, size);
}

void Console::WriteShown(const char* text) {
  // Names and descriptions come from the registry: a control byte in one
  // must not break a line in two or reach the terminal.
  for (;;) {
    const char* run = text;
    while (static_cast<unsigned char>(*text) >= 0x20 && *text != 0x7F) ++text;
    out_.Write(run, static_cast<std::size_t>(text - run));
    if (*text == '\0') return;
    out_.Write("?", 1);
    ++text;
  }
}

}  // namespace brindle
