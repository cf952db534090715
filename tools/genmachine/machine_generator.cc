#include "tools/genmachine/machine_generator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "catalogue/catalogue.h"
#include "platform/hosted/forms/regedit4.h"
#include "tools/genmachine/hive9x_writer.h"

namespace brindle {
namespace {

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

std::string Dword(std::uint32_t value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>(value >> (8 * i));
  return data;
}

std::string Hex(int length) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%04X", length & 0xFFFF);
  return buffer;
}

class Generator {
 public:
  explicit Generator(const MachineOptions& options)
      : options_(options), random_(options.seed) {}

  void Build(Registry& registry) {
    root_ = registry.top.FindOrAddSubkey("HKEY_LOCAL_MACHINE");
    RegistryKey* version = Key("Software\\Microsoft\\Windows\\CurrentVersion");
    if (options_.base.empty()) {  // a real hive's own stay
      version->SetValue("ProductName", 1, Sz("Microsoft Windows 98"));
      version->SetValue("VersionNumber", 1, Sz("4.10.2222"));
      version->SetValue("DevicePath", 1, Sz("C:\\WINDOWS\\INF"));
      version->SetValue("OtherDevicePath", 1, Sz(InfDirectory));
    }
    for (const DriverGroup* group : {&PortGroup, &AltStorageGroup}) {
      for (std::size_t i = 0; i < group->fixedKeyCount; ++i) {
        Key(std::string(group->fixedKeys[i]) + "\\0000")
            ->SetValue("DriverDesc", 1, Sz("Fixed key of the drivers"));
      }
    }
    // Three keys a device (enumerator share, device, instance): about 60%
    // of the keys are devices, the rest class instances.
    const long devices = options_.keys * 6 / 10 / 2;
    BuildDevices(devices);
    BuildClassInstances(options_.keys - devices * 2);
  }

 private:
  void BuildDevices(long devices) {
    const char* const enumerators[] = {"USB", "SCSI",   "HID",
                                       "PCI", "ISAPNP", "Root"};
    for (long i = 0; i < devices; ++i) {
      const char* enumerator = enumerators[i % 6];
      std::string device = DeviceName(enumerator, i);
      RegistryKey* instance =
          Key(std::string("Enum\\") + enumerator + "\\" + device + "\\" +
              std::to_string(5) + "&" + Hex(static_cast<int>(i)) + "&0&" +
              std::to_string(i % 4));
      instance->SetValue("DeviceDesc", 1, Sz(Describe(i)));
      instance->SetValue("Class", 1, Sz(enumerator));
      instance->SetValue("HardwareID", 1,
                         Sz(std::string(enumerator) + "\\" + device));
      instance->SetValue("Mfg", 1, Sz("(Standard system devices)"));
      instance->SetValue("ConfigFlags", 3, std::string(4, '\0'));
      instance->SetValue("Capabilities", 4,
                         Dword(static_cast<std::uint32_t>(i)));
    }
  }

  void BuildClassInstances(long instances) {
    const char* const classes[] = {"USB", "Ports", "SCSIAdapter",
                                   "HID", "Net",   "Display"};
    const char* const providers[] = {"Microsoft",     "Intel",    "3Com",
                                     "Creative Labs", "S3",       "Adaptec",
                                     "Logitech",      "Tarnwick "};
    const char* const ours[] = {"Tarnwick", "ZEL", "Velmora"};
    for (long i = 0; i < instances; ++i) {
      const char* className = classes[i % 6];
      char number[24];
      std::snprintf(number, sizeof number, "%04ld", i / 6);
      RegistryKey* instance =
          Key(std::string(ClassKeyHead) + className + "\\" + number);
      bool mine = Chance();
      instance->SetValue("ProviderName", 1,
                         Sz(mine ? ours[i % 3] : providers[random_() % 8]));
      instance->SetValue("DriverDesc", 1, Sz(Describe(i)));
      instance->SetValue("DriverDate", 1, Sz(" 4-23-1999"));
      if (i % 5 == 0) {
        std::string power(48 + i % 40, '\0');
        for (char& byte : power) byte = static_cast<char>(random_());
        instance->SetValue("PowerData", 3, power);
      }
      if (i % 7 == 0) instance->SetValue("InfSection", 2, Sz("%WINDIR%\\INF"));
    }
  }

  RegistryKey* Key(const std::string& path) {
    return FindKeyPath(*root_, path, true);
  }
  bool Chance() {
    return std::uniform_real_distribution<double>(0, 1)(random_) <
           options_.matchShare;
  }
  std::string DeviceName(const char* enumerator, long i) {
    bool mine = Chance();
    int product = static_cast<int>(i / 6);
    if (std::strcmp(enumerator, "SCSI") == 0) {
      return (mine ? std::string("TAV_____KELVIN_")
                   : std::string("GENERIC_DISK___")) +
             Hex(product);
    }
    if (std::strcmp(enumerator, "USB") == 0 ||
        std::strcmp(enumerator, "HID") == 0) {
      const char* vendor = mine ? (i % 2 ? "0E7D" : "0C19") : "046D";
      if (std::strcmp(enumerator, "HID") == 0 && mine) vendor = "0E7D";
      return std::string("VID_") + vendor + "&PID_" + Hex(product);
    }
    return std::string(std::strcmp(enumerator, "PCI") == 0 ? "VEN_8086&DEV_"
                                                           : "*PNP") +
           Hex(product);
  }
  std::string Describe(long i) {
    static const char* const words[] = {"USB",     "Serial",  "Port",
                                        "Storage", "Adapter", "Controller",
                                        "Hub",     "Device",  "Composite"};
    return std::string(words[i % 9]) + " " + words[(i / 9) % 9] + " " +
           std::to_string(i);
  }

  MachineOptions options_;
  std::mt19937 random_;
  RegistryKey* root_ = nullptr;
};

}  // namespace

namespace {

void MakeDirectories(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/')
      ::mkdir(path.substr(0, at).c_str(), 0755);
  }
}

}  // namespace

void GenerateRegistry(const MachineOptions& options, Registry& registry) {
  Generator(options).Build(registry);
}

namespace {

// The hive at `path`, read into `registry` (which it fills); null, said on
// stderr, when it cannot be.
std::unique_ptr<RegistryFile> ReadBase(const std::string& path,
                                       Registry& registry) {
  FileBytes bytes;
  LoadFault fault;
  std::unique_ptr<RegistryFile> base;
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd >= 0 && FileBytes::Read(fd, &bytes) == 0)
    base = LoadHive9x(std::move(bytes), "HKEY_LOCAL_MACHINE", registry, &fault);
  if (fd >= 0) ::close(fd);
  if (base == nullptr)
    std::fprintf(stderr, "%s: cannot be read as a hive\n", path.c_str());
  return base;
}

// Writes `registry` to `path` as the options' form; false when it cannot.
bool WriteRegistryFile(const MachineOptions& options, const Registry& registry,
                       const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = false;
  if (options.hive) {
    std::string image;
    std::string why;
    written = WriteHive9x(*registry.Find("HKEY_LOCAL_MACHINE"), &image, &why) &&
              std::fwrite(image.data(), 1, image.size(), file) == image.size();
  } else {
    written = ExportRegedit4(
                  registry,
                  [&](std::uint64_t, std::string_view piece) {
                    return std::fwrite(piece.data(), 1, piece.size(), file) ==
                                   piece.size()
                               ? 0
                               : EIO;
                  },
                  options.lf ? "\n" : "\r\n") == 0;
  }
  return std::fclose(file) == 0 && written;
}

// Lays the drive's directories and every installed driver file on `drive`.
bool LayInstalledFiles(const std::string& drive) {
  for (const char* directory :
       {"windows/system/iosubsys", "windows/system32/drivers",
        "windows/inf/other"}) {
    MakeDirectories(drive + "/" + directory);
  }
  for (const DriverGroup* group :
       {&PortGroup, &StorageGroup, &AltStorageGroup, &HidGroup}) {
    for (std::size_t i = 0; i < group->filePairCount; ++i) {
      std::string installed =
          group->filePairs[i].installedPath + 3;  // past "c:\"
      for (char& c : installed) c = c == '\\' ? '/' : c;
      std::FILE* driver = std::fopen((drive + "/" + installed).c_str(), "wb");
      if (driver == nullptr) return false;
      std::fprintf(driver, "%s as installed\n", group->filePairs[i].sourceName);
      std::fclose(driver);
    }
  }
  return true;
}

}  // namespace

int GenerateMachine(const MachineOptions& options) {
  std::unique_ptr<RegistryFile> base;  // the hive built on, if any
  Registry registry;
  if (!options.base.empty() &&
      (base = ReadBase(options.base, registry)) == nullptr) {
    return 1;
  }
  GenerateRegistry(options, registry);
  const std::string drive =
      options.hive ? options.directory : options.directory + "/drive_c";
  MakeDirectories(drive + "/windows");
  std::string path = options.hive ? drive + "/windows/SYSTEM.DAT"
                                  : options.directory + "/registry.reg";
  if (!WriteRegistryFile(options, registry, path)) {
    std::perror(path.c_str());
    return 1;
  }
  if (!LayInstalledFiles(drive)) return 1;
  return 0;
}

}  // namespace brindle
