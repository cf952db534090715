// Where and why a registry file, or a journal, was refused as it was read.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_LOAD_FAULT_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_LOAD_FAULT_H_

#include <cstdint>
#include <string>

namespace brindle {

/// Where and why a file was refused as it was read: on a line of text, or
/// at a byte of a binary file. Every refusal of either form has this shape.
struct LoadFault {
  enum Place { kLine, kOffset } place = kLine;
  std::uint64_t at = 0;  // the line, from 1, or the byte's offset
  std::string what;
};

/// The fault as the user is shown it, `kind` naming what the file was
/// taken for: "FILE:LINE: KIND: WHAT", or "FILE: at 0xOFFSET: KIND: WHAT".
std::string FaultText(const std::string& file, const char* kind,
                      const LoadFault& fault);

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_LOAD_FAULT_H_
