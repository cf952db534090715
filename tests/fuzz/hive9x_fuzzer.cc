// The Windows 9x hive reader on any bytes: no crash, no hang, no leak, and
// a refusal says where and why. Whatever it accepts takes a run's kind of
// changes (a subtree deleted, a value set longer than it was, one added),
// and the file written with them reads back as what the run left.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/hosted/forms/hive9x.h"
#include "platform/hosted/forms/regedit4.h"
#include "platform/platform.h"
#include "tools/genmachine/hive9x_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brindle;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Registry registry;
  LoadFault fault;
  const auto file = LoadHive9x(FileBytes::Copy(bytes), "HKEY_LOCAL_MACHINE",
                               registry, &fault);
  if (file == nullptr) {
    if (fault.what.empty() || fault.at > size) std::abort();
    return 0;
  }
  RegistryKey* root = registry.Find("HKEY_LOCAL_MACHINE");
  if (root == nullptr) std::abort();
  Regedit4Text(registry);  // looks everywhere
  RegistryKey* first = root->SubkeyAt(0);
  if (first != nullptr) {
    if (RegistryKey* doomed = first->SubkeyAt(0)) registry.DeleteKey(*doomed);
    registry.SetValue(*first, "OtherDevicePath", REG_SZ,
                      std::string(300, 'x') + std::string(1, '\0'));
    registry.SetValue(*first, "", REG_DWORD, std::string("\x01\0\0\0", 4));
  }
  std::string why;
  const std::string written = NewFileBytes(*file, registry, &why);
  if (written.empty()) {
    if (why.empty()) std::abort();
    return 0;  // a change this file cannot hold, said so
  }
  // Every accepted file with a subkey takes the longer value: it changes.
  if (first != nullptr && written == bytes) std::abort();
  if (!file->ReadBack(registry, FileBytes::Copy(written), true, &why))
    std::abort();
  return 0;
}
