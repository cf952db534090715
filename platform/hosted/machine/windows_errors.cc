#include "platform/hosted/machine/windows_errors.h"

#include <cerrno>

namespace brindle {
namespace {

// Each code with its text, and the host's errno values that stand for it.
struct WindowsError {
  ErrorCode code;
  const char* text;
  int errnos[4];
};

constexpr WindowsError kErrors[] = {
    {0, "The operation completed successfully.", {}},
    {1, "Incorrect function.", {}},
    {2, "The system cannot find the file specified.", {ENOENT}},
    {3, "The system cannot find the path specified.", {ENOTDIR}},
    {4, "The system cannot open the file.", {EMFILE, ENFILE}},
    {5, "Access is denied.", {EACCES, EPERM, EISDIR, ELOOP}},
    {6, "The handle is invalid.", {}},
    {8, "Not enough storage is available to process this command.", {ENOMEM}},
    {14, "Not enough storage is available to complete this operation.", {}},
    {19, "The media is write protected.", {EROFS}},
    {21, "The device is not ready.", {}},
    {31, "A device attached to the system is not functioning.", {}},
    {32,
     "The process cannot access the file because it is being used by another "
     "process.",
     {EBUSY, ETXTBSY}},
    {80, "The file exists.", {}},
    {82, "The directory or file cannot be created.", {}},
    {87, "The parameter is incorrect.", {}},
    {112, "There is not enough space on the disk.", {ENOSPC, EDQUOT}},
    {123,
     "The filename, directory name, or volume label syntax is incorrect.",
     {}},
    {145, "The directory is not empty.", {ENOTEMPTY}},
    {183, "Cannot create a file when that file already exists.", {EEXIST}},
    {206, "The filename or extension is too long.", {ENAMETOOLONG}},
    {234, "More data is available.", {}},
    {259, "No more data is available.", {}},
    {1009, "The configuration registry database is corrupt.", {}},
    {1010, "The configuration registry key is invalid.", {}},
    {1011, "The configuration registry key could not be opened.", {}},
    {1012, "The configuration registry key could not be read.", {}},
    {1013, "The configuration registry key could not be written.", {}},
    {1018,
     "Illegal operation attempted on a registry key that has been marked for "
     "deletion.",
     {}},
    {1117,
     "The request could not be performed because of an I/O device error.",
     {}},
};

}  // namespace

const char* SystemText(ErrorCode code) {
  for (const WindowsError& error : kErrors)
    if (error.code == code) return error.text;
  return nullptr;
}

ErrorCode ErrorFromErrno(int error, ErrorCode notFound) {
  if (error == 0 || error == ENOENT) return error == 0 ? 0 : notFound;
  for (const WindowsError& known : kErrors)
    for (int each : known.errnos)
      if (each == error) return known.code;
  return 1117;  // ERROR_IO_DEVICE
}

}  // namespace brindle
