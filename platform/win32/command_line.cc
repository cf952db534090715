#include "platform/win32/command_line.h"

namespace brindle {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Copies into a fixed buffer, noting whether everything fitted.
struct Copier {
  char* out;
  char* end;
  bool fits = true;
  void Put(char c) {
    if (out == end) {
      fits = false;
    } else {
      *out++ = c;
    }
  }
};

}  // namespace

int SplitCommandLine(const char* line, char* storage, std::size_t storageSize,
                     const char** arguments, int capacity) {
  Copier copy{storage, storage + storageSize};
  const char* p = line;
  int count = 0;
  if (capacity == 0) return 0;

  // The program name is a path: quotes only group, backslashes separate.
  char* argument = copy.out;
  if (*p == '"') {
    while (*++p != '"' && *p != '\0') copy.Put(*p);
    if (*p == '"') ++p;
  } else {
    for (; static_cast<unsigned char>(*p) > ' '; ++p) copy.Put(*p);
  }
  copy.Put('\0');
  if (!copy.fits) return 0;
  arguments[count++] = argument;

  while (count < capacity) {
    while (IsBlank(*p)) ++p;
    if (*p == '\0') break;
    argument = copy.out;
    bool quoted = false;
    for (;;) {
      std::size_t backslashes = 0;
      while (*p == '\\') ++backslashes, ++p;
      bool literal = true;
      if (*p == '"') {
        // Backslashes count only before a quote: 2n give n and the quote
        // groups, 2n+1 give n and the quote itself.
        if (backslashes % 2 == 0) {
          if (quoted && p[1] == '"') {
            ++p;  // "" inside quotes: one quote, still quoted
          } else {
            literal = false;
            quoted = !quoted;
          }
        }
        backslashes /= 2;
      }
      for (; backslashes > 0; --backslashes) copy.Put('\\');
      if (*p == '\0' || (!quoted && IsBlank(*p))) break;
      if (literal) copy.Put(*p);
      ++p;
    }
    copy.Put('\0');
    if (!copy.fits) break;
    arguments[count++] = argument;
  }
  return count;
}

}  // namespace brindle
