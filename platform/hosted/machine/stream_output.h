// Standard output of the simulated build: any C++ stream.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_STREAM_OUTPUT_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_STREAM_OUTPUT_H_

#include <ostream>

#include "platform/output.h"

namespace brindle {

class StreamOutput final : public Output {
 public:
  explicit StreamOutput(std::ostream& stream) : stream_(stream) {}
  void Write(const char* text, std::size_t size) override {
    stream_.write(text, static_cast<std::streamsize>(size));
  }

 private:
  std::ostream& stream_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_STREAM_OUTPUT_H_
