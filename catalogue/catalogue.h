// What belongs to the port replicator's drivers: the files, keys and devices
// of its four driver groups, compiled in and read-only.
#ifndef BRINDLE_CATALOGUE_CATALOGUE_H_
#define BRINDLE_CATALOGUE_CATALOGUE_H_

#include <cstddef>

namespace brindle {

/// Every key name, value and description read from the registry fits this
/// many characters, the terminating NUL included.
constexpr std::size_t NameBufferSize = 80;
/// How many characters of a hardware-ID prefix a device key must begin with.
constexpr std::size_t PrefixLength = 8;

/// Where the enumerator keys and the device classes live.
constexpr char EnumKeyHead[] = "Enum\\";
constexpr char ClassKeyHead[] = "System\\CurrentControlSet\\Services\\Class\\";
/// The longest names whose parent path, head and NUL included, still fits.
constexpr std::size_t MaxEnumeratorLength =
    NameBufferSize - (sizeof(EnumKeyHead) - 1) - 1;
constexpr std::size_t MaxClassNameLength =
    NameBufferSize - (sizeof(ClassKeyHead) - 1) - 1;

/// A driver file: its name in the current directory and where it goes.
struct FilePair {
  const char* sourceName;
  const char* installedPath;
};

/// Device keys under "Enum\<enumerator>" whose names begin with `prefix`.
struct EnumSweep {
  const char* enumerator;
  const char* prefix;
};

/// Instances of a device class whose "ProviderName" is `provider`.
struct ClassSweep {
  const char* className;
  const char* provider;
};

/// One driver package and everything a removal of it touches.
struct DriverGroup {
  const FilePair* filePairs;
  std::size_t filePairCount;
  const char* const* fixedKeys;
  std::size_t fixedKeyCount;
  const EnumSweep* enumSweeps;
  std::size_t enumSweepCount;
  const ClassSweep* classSweeps;
  std::size_t classSweepCount;
};

extern const DriverGroup PortGroup;
extern const DriverGroup StorageGroup;
extern const DriverGroup AltStorageGroup;
extern const DriverGroup HidGroup;

/// The directory every group's INF files are installed into.
inline constexpr char InfDirectory[] = "c:\\windows\\inf\\other";

}  // namespace brindle

#endif  // BRINDLE_CATALOGUE_CATALOGUE_H_
