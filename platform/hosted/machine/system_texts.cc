#include "platform/hosted/machine/system_texts.h"

namespace brindle {
namespace {

struct SystemTextEntry {
  ErrorCode code;
  const char* text;
};

constexpr SystemTextEntry kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough storage is available to process this command."},
    {14, "Not enough storage is available to complete this operation."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {31, "A device attached to the system is not functioning."},
    {32,
     "The process cannot access the file because it is being used by "
     "another process."},
    {80, "The file exists."},
    {82, "The directory or file cannot be created."},
    {87, "The parameter is incorrect."},
    {112, "There is not enough space on the disk."},
    {123,
     "The filename, directory name, or volume label syntax is "
     "incorrect."},
    {145, "The directory is not empty."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1018,
     "Illegal operation attempted on a registry key that has been "
     "marked for deletion."},
    {1117,
     "The request could not be performed because of an I/O device "
     "error."},
};

}  // namespace

const char* SystemText(ErrorCode code) {
  for (const SystemTextEntry& entry : kSystemTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

}  // namespace brindle
