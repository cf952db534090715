// Standard output of the simulated build: any C++ stream.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_STREAM_OUTPUT_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_STREAM_OUTPUT_H_

#include <ostream>

#include "platform/output.h"

namespace brindle {

/// Each line is flushed to the stream as its end is written: standard
/// output's lines are the user's record of what the run changed, and a run
/// stopped by ^C or killed must have passed on every one it printed,
/// whatever standard output is (a terminal, a pipe or a file).
class StreamOutput final : public Output {
 public:
  explicit StreamOutput(std::ostream& stream) : stream_(stream) {}
  void Write(const char* text, std::size_t size) override {
    stream_.write(text, static_cast<std::streamsize>(size));
    if (size != 0 && text[size - 1] == '\n') stream_.flush();
  }

 private:
  std::ostream& stream_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_STREAM_OUTPUT_H_
