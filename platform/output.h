// Where the program's text goes: its standard output, which each platform
// serves in its own way.
#ifndef BRINDLE_PLATFORM_OUTPUT_H_
#define BRINDLE_PLATFORM_OUTPUT_H_

#include <cstddef>

namespace brindle {

class Output {
 public:
  /// Writes `size` bytes of text whose line end is "\n".
  virtual void Write(const char* text, std::size_t size) = 0;

 protected:
  // Never destroyed through this interface: nothing here is made with new.
  ~Output() = default;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_OUTPUT_H_
