// brindle on Windows: the program's entry point. There is no C runtime: the
// command line comes from GetCommandLineA, standard output goes out through
// WriteFile, and the status through ExitProcess.
#include "app/program.h"
#include "platform/output.h"
#include "platform/win32/command_line.h"
#include "platform/win32/win32_platform.h"

// After the seam's own names: <windows.h> defines the same ones as macros.
#include <windows.h>

namespace brindle {
namespace {

// Standard output as the C runtime's text mode wrote it: every "\n" goes out
// as "\r\n", so a system text that ends "\r\n" goes out as "\r\r\n".
class StandardOutput final : public Output {
 public:
  StandardOutput() : handle_(::GetStdHandle(STD_OUTPUT_HANDLE)) {}

  void Write(const char* text, std::size_t size) override {
    for (std::size_t i = 0; i < size; ++i) {
      if (text[i] == '\n') Put('\r');
      Put(text[i]);
    }
  }

  /// Hands what is buffered to the system; a reader that went away takes
  /// nothing more, and the run goes on.
  void Flush() {
    const char* at = buffer_;
    while (used_ > 0 && handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) {
      DWORD written = 0;
      if (!::WriteFile(handle_, at, used_, &written, nullptr) || written == 0) {
        handle_ = INVALID_HANDLE_VALUE;
        break;
      }
      at += written;
      used_ -= written;
    }
    used_ = 0;
  }

 private:
  void Put(char c) {
    if (used_ == sizeof buffer_) Flush();
    buffer_[used_++] = c;
  }

  HANDLE handle_;
  char buffer_[512];
  DWORD used_ = 0;
};

// Far more than the command lines of Windows 95 can hold; only the first
// argument after the program name is ever looked at.
constexpr int kArgumentCapacity = 16;
constexpr std::size_t kArgumentStorage = 1024;

}  // namespace
}  // namespace brindle

// Called by Windows with nothing set up: no constructors to run, nothing to
// tear down. The stack is realigned for whatever the compiler assumes.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void
BrindleStart() {
  using namespace brindle;
  char storage[kArgumentStorage];
  const char* arguments[kArgumentCapacity];
  int count = SplitCommandLine(::GetCommandLineA(), storage, sizeof storage,
                               arguments, kArgumentCapacity);
  StandardOutput out;
  Mode mode = SelectMode(count, arguments);
  int status;
  if (mode == Mode::Usage) {
    status = RunUsage(out);
  } else {
    Win32Platform platform;
    status = RunMode(mode, platform, out);
  }
  out.Flush();
  ::ExitProcess(static_cast<UINT>(status));
}
