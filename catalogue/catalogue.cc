#include "catalogue/catalogue.h"

namespace brindle {
namespace {

constexpr std::size_t Length(const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

constexpr bool StartsWith(const char* text, const char* head) {
  for (std::size_t i = 0; head[i] != '\0'; ++i) {
    if (text[i] != head[i]) return false;
  }
  return true;
}

template <std::size_t N>
constexpr bool SweepsFit(const EnumSweep (&sweeps)[N]) {
  for (const EnumSweep& sweep : sweeps) {
    if (Length(sweep.prefix) != PrefixLength) return false;
    if (Length(sweep.enumerator) > MaxEnumeratorLength) return false;
  }
  return true;
}

template <std::size_t N>
constexpr bool SweepsFit(const ClassSweep (&sweeps)[N]) {
  for (const ClassSweep& sweep : sweeps) {
    if (Length(sweep.className) > MaxClassNameLength) return false;
    if (Length(sweep.provider) == 0) return false;
  }
  return true;
}

template <std::size_t N>
constexpr bool AllUnderWindows(const FilePair (&pairs)[N]) {
  for (const FilePair& pair : pairs) {
    if (!StartsWith(pair.installedPath, "c:\\windows\\")) return false;
    if (Length(pair.sourceName) == 0) return false;
  }
  return true;
}

constexpr FilePair kPortFiles[] = {
    {"tavcom.sys", "c:\\windows\\system\\tavcom.sys"},
    {"tavlpt.vxd", "c:\\windows\\system\\tavlpt.vxd"},
    {"tavser.vxd", "c:\\windows\\system\\tavser.vxd"},
    {"tavmon.dll", "c:\\windows\\system\\tavmon.dll"},
    {"tavlpcfg.cpl", "c:\\windows\\system\\tavlpcfg.cpl"},
    {"tavports.inf", "c:\\windows\\inf\\other\\TarnwickTAVPORTS.INF"},
    {"tavpar.inf", "c:\\windows\\inf\\other\\TarnwickTAVPAR.INF"},
    {"tavcom.inf", "c:\\windows\\inf\\other\\TarnwickTAVCOM.INF"},
};
constexpr const char* kPortKeys[] = {
    "Enum\\TAVPORT",
    "System\\CurrentControlSet\\Services\\Class\\TavStubCom",
    "System\\CurrentControlSet\\Control\\Print\\Monitors\\TavPortMonitor",
};
constexpr EnumSweep kPortEnumSweeps[] = {{"USB", "VID_0E7D"},
                                         {"USB", "VID_0C19"}};
constexpr ClassSweep kPortClassSweeps[] = {{"Ports", "Tarnwick"},
                                           {"USB", "Tarnwick"}};

constexpr FilePair kStorageFiles[] = {
    {"kelvclas.sys", "c:\\windows\\system\\kelvclas.sys"},
    {"kelvmini.mpd", "c:\\windows\\system\\iosubsys\\kelvmini.mpd"},
    {"kelvstor.vxd", "c:\\windows\\system\\iosubsys\\kelvstor.vxd"},
    {"kelv1.inf", "c:\\windows\\inf\\other\\zelkelv1.inf"},
    {"kelv2.inf", "c:\\windows\\inf\\other\\zelkelv2.inf"},
};
constexpr EnumSweep kStorageEnumSweeps[] = {{"SCSI", "VID_0E7D"},
                                            {"SCSI", "TAV_____"}};
constexpr ClassSweep kStorageClassSweeps[] = {{"SCSIAdapter", "ZEL"},
                                              {"USB", "ZEL"}};

constexpr FilePair kAltStorageFiles[] = {
    {"qfdx1.sys", "c:\\windows\\system32\\drivers\\qfdx1.sys"},
    {"qfdx2.vxd", "c:\\windows\\system\\iosubsys\\qfdx2.vxd"},
    {"qfdxtav.inf", "c:\\windows\\inf\\other\\Velmoraqfdxtav.inf"},
    {"qfdxkelv.inf", "c:\\windows\\inf\\other\\Velmoraqfdxkelv.inf"},
};
constexpr const char* kAltStorageKeys[] = {
    "System\\CurrentControlSet\\Services\\qfdx1",
};
constexpr ClassSweep kAltStorageClassSweeps[] = {{"USB", "Velmora"}};

constexpr FilePair kHidFiles[] = {
    {"kelvmou.inf", "c:\\windows\\inf\\other\\kelvmou.inf"},
    {"kelvkbd.inf", "c:\\windows\\inf\\other\\kelvkbd.inf"},
    {"kelvjoy.inf", "c:\\windows\\inf\\other\\kelvjoy.inf"},
    {"kelvusb.inf", "c:\\windows\\inf\\other\\kelvusb.inf"},
};
constexpr EnumSweep kHidEnumSweeps[] = {{"HID", "VID_0E7D"}};

// The counts are part of the tables.
static_assert(sizeof(kPortFiles) / sizeof(FilePair) == 8);
static_assert(sizeof(kStorageFiles) / sizeof(FilePair) == 5);
static_assert(sizeof(kAltStorageFiles) / sizeof(FilePair) == 4);
static_assert(sizeof(kHidFiles) / sizeof(FilePair) == 4);
static_assert(sizeof(kPortKeys) / sizeof(kPortKeys[0]) == 3);
static_assert(sizeof(kAltStorageKeys) / sizeof(kAltStorageKeys[0]) == 1);

static_assert(SweepsFit(kPortEnumSweeps) && SweepsFit(kStorageEnumSweeps) &&
                  SweepsFit(kHidEnumSweeps),
              "prefixes are 8 characters and enumerators fit the parent path");
static_assert(SweepsFit(kPortClassSweeps) && SweepsFit(kStorageClassSweeps) &&
                  SweepsFit(kAltStorageClassSweeps),
              "class names fit the parent path");
static_assert(AllUnderWindows(kPortFiles) && AllUnderWindows(kStorageFiles) &&
                  AllUnderWindows(kAltStorageFiles) &&
                  AllUnderWindows(kHidFiles),
              "installed paths lie under c:\\windows\\");

// An INF file, whatever its case, goes into the INF directory.
constexpr bool IsInf(const char* path) {
  std::size_t length = Length(path);
  if (length < 4) return false;
  const char* tail = path + length - 4;
  return tail[0] == '.' && (tail[1] | 0x20) == 'i' && (tail[2] | 0x20) == 'n' &&
         (tail[3] | 0x20) == 'f';
}

template <std::size_t N>
constexpr bool InfsInInfDirectory(const FilePair (&pairs)[N]) {
  for (const FilePair& pair : pairs) {
    if (IsInf(pair.installedPath) !=
        StartsWith(pair.installedPath, InfDirectory))
      return false;
    if (IsInf(pair.installedPath) &&
        pair.installedPath[Length(InfDirectory)] != '\\')
      return false;
  }
  return true;
}
static_assert(InfsInInfDirectory(kPortFiles) &&
                  InfsInInfDirectory(kStorageFiles) &&
                  InfsInInfDirectory(kAltStorageFiles) &&
                  InfsInInfDirectory(kHidFiles),
              "INF files, and only they, go into the INF directory");

template <typename T, std::size_t N>
constexpr std::size_t CountOf(const T (&)[N]) {
  return N;
}

}  // namespace

const DriverGroup PortGroup = {kPortFiles,       CountOf(kPortFiles),
                               kPortKeys,        CountOf(kPortKeys),
                               kPortEnumSweeps,  CountOf(kPortEnumSweeps),
                               kPortClassSweeps, CountOf(kPortClassSweeps)};
const DriverGroup StorageGroup = {kStorageFiles,
                                  CountOf(kStorageFiles),
                                  nullptr,
                                  0,
                                  kStorageEnumSweeps,
                                  CountOf(kStorageEnumSweeps),
                                  kStorageClassSweeps,
                                  CountOf(kStorageClassSweeps)};
const DriverGroup AltStorageGroup = {kAltStorageFiles,
                                     CountOf(kAltStorageFiles),
                                     kAltStorageKeys,
                                     CountOf(kAltStorageKeys),
                                     nullptr,
                                     0,
                                     kAltStorageClassSweeps,
                                     CountOf(kAltStorageClassSweeps)};
const DriverGroup HidGroup = {
    kHidFiles,      CountOf(kHidFiles),      nullptr, 0,
    kHidEnumSweeps, CountOf(kHidEnumSweeps), nullptr, 0};

}  // namespace brindle
