// A whole run on a machine made from the fuzzer's bytes: key trees with odd
// and overlong names under the swept keys and elsewhere, values of every type
// and size, files and directories where files are expected. The run must say
// only the program's own lines, delete no key that no rule of the catalogue
// names, change no other value, and touch no file but the installed ones.
// For half the inputs the same registry is also a Windows 9x hive: run on
// the same drive, it must print the same and leave the same registry, and
// the hive written with its changes must read back as that.
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "app/program.h"
#include "catalogue/catalogue.h"
#include "platform/hosted/forms/hive9x.h"
#include "platform/hosted/forms/regedit4.h"
#include "platform/hosted/machine/hosted_platform.h"
#include "platform/hosted/machine/stream_output.h"
#include "tests/support/program_lines.h"
#include "tools/genmachine/hive9x_writer.h"

namespace brindle {
namespace {

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}
  std::uint8_t Next() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  std::size_t left() const { return size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

const DriverGroup* const kGroups[] = {&PortGroup, &StorageGroup,
                                      &AltStorageGroup, &HidGroup};
const char* const kProviders[] = {"Tarnwick",  "ZEL",   "Velmora",
                                  "Tarnwick ", "zel",   "Microsoft",
                                  "",          "ZELZEL"};
const char* const kPrefixes[] = {"VID_0E7D", "VID_0C19", "TAV_____",
                                 "VID_0E7",  "vid_0e7d", "",
                                 "ROOT_HUB", "VID_0E7DX"};

std::string Name(Bytes& bytes) {
  std::string name = kPrefixes[bytes.Next() % 8];
  std::size_t length = bytes.Next() % 4 == 0 ? bytes.Next() : bytes.Next() % 12;
  for (std::size_t i = 0; i < length; ++i) {
    char c = static_cast<char>(bytes.Next());
    if (c == '\\' || c == '\0' || c == '\n' || c == '\r') c = '_';
    name += c;
  }
  if (name.empty() || name.find_first_not_of(' ') == std::string::npos)
    name += "k";
  return name;
}

std::string Data(Bytes& bytes, std::uint32_t* type) {
  *type = bytes.Next() % 5;
  std::size_t length = bytes.Next() % 3 == 0 ? bytes.Next() : bytes.Next() % 24;
  std::string data;
  for (std::size_t i = 0; i < length; ++i)
    data += static_cast<char>(bytes.Next());
  return data;
}

void Build(Bytes& bytes, Registry& registry) {
  RegistryKey* root = registry.top.FindOrAddSubkey("HKEY_LOCAL_MACHINE");
  auto key = [&](const std::string& path) {
    return FindKeyPath(*root, path, true);
  };
  key("Software\\Microsoft\\Windows\\CurrentVersion")
      ->SetValue("OtherDevicePath", 1, std::string("C:\\OLD") + '\0');
  const char* const enumerators[] = {"USB", "SCSI", "HID", "Root"};
  const char* const classes[] = {"USB", "Ports", "SCSIAdapter", "HID"};
  int count = bytes.Next() % 48;
  for (int i = 0; i < count && bytes.left() > 0; ++i) {
    RegistryKey* made = nullptr;
    switch (bytes.Next() % 6) {
      case 0:
      case 1: {
        made = key(std::string(EnumKeyHead) + enumerators[bytes.Next() % 4])
                   ->FindOrAddSubkey(Name(bytes));
        if (bytes.Next() % 2) made = made->FindOrAddSubkey(Name(bytes));
        break;
      }
      case 2:
      case 3: {
        made = key(std::string(ClassKeyHead) + classes[bytes.Next() % 4])
                   ->FindOrAddSubkey(Name(bytes));
        std::uint8_t how = bytes.Next();
        if (how % 5 != 0) {
          std::string provider = kProviders[how % 8];
          std::uint32_t type = 1;
          if (how % 7 != 0)
            provider += '\0';  // without: bytes that are no string
          if (how % 11 == 0) provider = std::string(90, 'Z') + '\0';
          if (how % 13 == 0) type = 3;
          made->SetValue("ProviderName", type, provider);
        }
        if (bytes.Next() % 3) {
          std::uint32_t type;
          std::string description = Data(bytes, &type);
          made->SetValue("DriverDesc", type, description);
        }
        break;
      }
      case 4: {
        const DriverGroup* group = kGroups[bytes.Next() % 4];
        if (group->fixedKeyCount > 0) {
          made = key(group->fixedKeys[bytes.Next() % group->fixedKeyCount]);
          made = made->FindOrAddSubkey(Name(bytes));
        }
        break;
      }
      default:
        made = key("Software\\" + Name(bytes));
        break;
    }
    if (made != nullptr && bytes.Next() % 2) {
      std::uint32_t type;
      std::string data = Data(bytes, &type);
      made->SetValue(Name(bytes), type, data);
    }
  }
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

void Clear(const std::string& directory) {
  ::nftw(directory.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  ::mkdir(directory.c_str(), 0755);
}

std::string HostPath(const std::string& drive, const char* windowsPath) {
  std::string path = drive + "/" + (windowsPath + 3);  // past "c:\"
  for (char& c : path) c = c == '\\' ? '/' : c;
  return path;
}

void List(const std::string& host, const std::string& name,
          std::map<std::string, std::string>* entries) {
  struct stat status;
  if (::lstat(host.c_str(), &status) != 0) return;
  if (!S_ISDIR(status.st_mode)) {
    std::ifstream file(host, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    (*entries)[name] = "f" + content.str();
    return;
  }
  (*entries)[name] = "d";
  DIR* listing = ::opendir(host.c_str());
  if (listing == nullptr) return;
  while (dirent* entry = ::readdir(listing)) {
    std::string child = entry->d_name;
    if (child == "." || child == "..") continue;
    List(host + "/" + child, name + "/" + child, entries);
  }
  ::closedir(listing);
}

void Collect(const RegistryKey& key,
             std::map<std::string, const RegistryKey*>* keys) {
  key.ForEachSubkey([&](const RegistryKey& subkey) {
    (*keys)[subkey.Path()] = &subkey;
    Collect(subkey, keys);
  });
}

bool Folded(const std::string& a, const std::string& b) {
  return EqualsAsciiFolded(a, b);
}

// Whether a rule of the catalogue names the key at `path` for deletion.
bool Named(const std::string& path, const RegistryKey& key) {
  const std::string head = "HKEY_LOCAL_MACHINE\\";
  for (const DriverGroup* group : kGroups) {
    for (std::size_t i = 0; i < group->fixedKeyCount; ++i) {
      if (Folded(path, head + group->fixedKeys[i])) return true;
    }
    std::string parent = key.parent()->Path();
    for (std::size_t i = 0; i < group->enumSweepCount; ++i) {
      const EnumSweep& sweep = group->enumSweeps[i];
      if (Folded(parent, head + EnumKeyHead + sweep.enumerator) &&
          key.name().compare(0, PrefixLength, sweep.prefix, PrefixLength) ==
              0) {
        return true;
      }
    }
    for (std::size_t i = 0; i < group->classSweepCount; ++i) {
      const ClassSweep& sweep = group->classSweeps[i];
      std::optional<RegistryValue> provider = key.FindValue("ProviderName");
      if (Folded(parent, head + ClassKeyHead + sweep.className) && provider &&
          provider->data.size() <= NameBufferSize &&
          provider->data.find('\0') != std::string_view::npos &&
          std::strcmp(provider->data.data(), sweep.provider) == 0) {
        return true;
      }
    }
  }
  return false;
}

// Makes the drive what List saw.
void Lay(const std::string& drive,
         const std::map<std::string, std::string>& entries) {
  for (const auto& [name, state] : entries) {
    std::string host = drive + name;
    if (state[0] == 'd') {
      ::mkdir(host.c_str(), 0755);
    } else if (std::FILE* file = std::fopen(host.c_str(), "wb")) {
      std::fwrite(state.data() + 1, 1, state.size() - 1, file);
      std::fclose(file);
    }
  }
}

struct Workspace {
  std::string root;
  std::string drive;
  std::string sources;
  Workspace() {
    char pattern[] = "/tmp/brindle-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    root = pattern;
    drive = root + "/drive_c";
    sources = root + "/sources";
    if (::mkdir(sources.c_str(), 0755) != 0 || ::chdir(sources.c_str()) != 0)
      std::abort();
  }
};

}  // namespace
}  // namespace brindle

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brindle;
  static Workspace workspace;
  Bytes bytes(data, size);
  const std::uint8_t first = bytes.Next();
  Mode mode = first % 2 ? Mode::Install : Mode::Remove;

  Registry registry;
  Build(bytes, registry);
  std::string before = Regedit4Text(registry, "\n");
  std::string hive;  // the registry as a Windows 9x hive, for half the inputs
  if (first & 2) {
    LoadFault fault;
    std::string why;
    if (WriteHive9x(*registry.Find("HKEY_LOCAL_MACHINE"), &hive, &why)) {
      Registry read;
      const auto readFile =
          LoadHive9x(FileBytes::Copy(hive), "HKEY_LOCAL_MACHINE", read, &fault);
      if (readFile == nullptr) {
        std::fprintf(stderr, "hive written unreadable: %s\n",
                     fault.what.c_str());
        std::abort();
      }
      before = Regedit4Text(read, "\n");  // strings as a hive gives them
    } else {
      hive.clear();
    }
  }
  Registry original;
  ReadRegedit4(before, original, nullptr);
  // The run works on the registry as a machine loads it: kept as text, its
  // keys built as the run reaches them.
  Registry loaded;
  const auto file = LoadRegedit4(FileBytes::Copy(before), loaded, nullptr);
  if (file == nullptr) std::abort();

  Clear(workspace.drive);
  Clear(workspace.sources);
  std::uint8_t directories = bytes.Next();
  const char* const made[] = {
      "windows",          "windows/system",           "windows/system/iosubsys",
      "windows/system32", "windows/system32/drivers", "windows/inf",
      "windows/inf/other"};
  for (int i = 0; i < 7; ++i) {
    if (directories & (1 << i) || i == 0) {
      ::mkdir((workspace.drive + "/" + made[i]).c_str(), 0755);
    }
  }
  std::set<std::string> installed;
  for (const DriverGroup* group : kGroups) {
    for (std::size_t i = 0; i < group->filePairCount; ++i) {
      const FilePair& pair = group->filePairs[i];
      std::string host = HostPath(workspace.drive, pair.installedPath);
      installed.insert(host.substr(workspace.drive.size()));
      switch (bytes.Next() % 4) {
        case 1:
          if (std::FILE* file = std::fopen(host.c_str(), "wb"))
            std::fclose(file);
          break;
        case 2:
          ::mkdir(host.c_str(), 0755);  // a directory where the file should be
          break;
        default:
          break;
      }
      if (bytes.Next() % 2) {
        std::FILE* source = std::fopen(pair.sourceName, "wb");
        if (source != nullptr) {
          std::fputs(pair.sourceName, source);
          std::fclose(source);
        }
      }
    }
  }
  std::map<std::string, std::string> filesBefore;
  List(workspace.drive, "", &filesBefore);

  Drive drive(workspace.drive);
  HostedPlatform platform(loaded, drive, nullptr);
  std::ostringstream out;
  StreamOutput output(out);
  RunMode(mode, platform, output);
  // Written now, what the run did not look into goes out as it was read;
  // read back, it must be the registry the run left.
  std::string written = NewFileBytes(*file, loaded);

  if (!ForeignLines(out.str()).empty()) {
    std::fprintf(stderr, "foreign line: %s\n",
                 ForeignLines(out.str())[0].c_str());
    std::abort();
  }
  std::map<std::string, const RegistryKey*> keysBefore;
  std::map<std::string, const RegistryKey*> keysAfter;
  Collect(original.top, &keysBefore);
  Collect(loaded.top, &keysAfter);
  {
    Registry reread;
    if (!ReadRegedit4(written, reread, nullptr)) std::abort();
    if (!RegistryDifference(reread.top, loaded.top).empty()) {
      std::fprintf(stderr, "written back otherwise than left\n");
      std::abort();
    }
  }
  for (const auto& [path, key] : keysBefore) {
    auto after = keysAfter.find(path);
    if (after == keysAfter.end()) {
      // The top of each deleted subtree must be named by a rule.
      if (keysAfter.count(key->parent()->Path()) == 0 &&
          key->parent()->parent() != nullptr &&
          key->parent()->Path() != "HKEY_LOCAL_MACHINE") {
        continue;  // deleted with its parent
      }
      if (!Named(path, *key)) {
        std::fprintf(stderr, "deleted without a rule: %s\n", path.c_str());
        std::abort();
      }
      continue;
    }
    std::vector<RegistryValue> was = key->Values();
    std::vector<RegistryValue> is = after->second->Values();
    bool otherPath =
        path ==
        "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion";
    if (!otherPath) {
      bool same = was.size() == is.size();
      for (std::size_t i = 0; same && i < was.size(); ++i) {
        same = was[i].name == is[i].name && was[i].type == is[i].type &&
               was[i].data == is[i].data;
      }
      if (!same) {
        std::fprintf(stderr, "values changed: %s\n", path.c_str());
        std::abort();
      }
    }
  }
  if (keysAfter.size() > keysBefore.size()) std::abort();  // nothing is made

  std::map<std::string, std::string> filesAfter;
  List(workspace.drive, "", &filesAfter);

  if (!hive.empty()) {
    Registry onDrive;
    LoadFault fault;
    const auto hiveFile = LoadHive9x(FileBytes::Copy(hive),
                                     "HKEY_LOCAL_MACHINE", onDrive, &fault);
    if (hiveFile == nullptr) std::abort();
    Clear(workspace.drive);
    Lay(workspace.drive, filesBefore);
    HostedPlatform hivePlatform(onDrive, drive, nullptr);
    std::ostringstream hiveOut;
    StreamOutput hiveOutput(hiveOut);
    RunMode(mode, hivePlatform, hiveOutput);
    if (hiveOut.str() != out.str() ||
        !RegistryDifference(onDrive.top, loaded.top).empty()) {
      std::fprintf(stderr, "the hive ran otherwise\n");
      std::abort();
    }
    std::string why;
    const std::string newHive = NewFileBytes(*hiveFile, onDrive, &why);
    if (!newHive.empty()) {
      if (!hiveFile->ReadBack(onDrive, FileBytes::Copy(newHive), true, &why)) {
        std::fprintf(stderr, "hive read back otherwise: %s\n", why.c_str());
        std::abort();
      }
    } else if (why.empty()) {
      std::abort();
    }
  }
  for (const auto& [path, state] : filesBefore) {
    auto after = filesAfter.find(path);
    bool ours = installed.count(path) != 0;
    if (after == filesAfter.end() && !(ours && state[0] == 'f')) {
      std::fprintf(stderr, "removed: %s\n", path.c_str());
      std::abort();
    }
    if (after != filesAfter.end() && after->second != state && !ours)
      std::abort();
  }
  for (const auto& [path, state] : filesAfter) {
    if (filesBefore.count(path) == 0 && !installed.count(path) &&
        path != "/windows/inf/other") {
      std::fprintf(stderr, "made: %s\n", path.c_str());
      std::abort();
    }
  }
  return 0;
}
