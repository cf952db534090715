// The Windows 9x hive reader on any bytes: no crash, no hang, no leak, and
// a refusal says where and why. Whatever it accepts takes a run's kind of
// changes (a subtree deleted, a value set longer than it was, one added),
// and the file written with them reads back as what the run left.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/hosted/forms/hive9x.h"
#include "platform/hosted/forms/regedit4.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  brindle::Registry registry;
  brindle::Hive9xFault fault;
  if (!brindle::LoadHive9x(brindle::FileBytes::Copy(bytes),
                           "HKEY_LOCAL_MACHINE", registry, &fault)) {
    if (fault.what.empty() || fault.offset > size) std::abort();
    return 0;
  }
  brindle::RegistryKey* root = registry.Find("HKEY_LOCAL_MACHINE");
  if (root == nullptr) std::abort();
  std::string text = brindle::Regedit4Text(registry);  // looks everywhere
  brindle::RegistryKey* first = root->SubkeyAt(0);
  if (first != nullptr) {
    if (brindle::RegistryKey* doomed = first->SubkeyAt(0)) {
      first->RemoveSubkey(doomed);
    }
    first->SetValue("OtherDevicePath", 1,
                    std::string(300, 'x') + std::string(1, '\0'));
    first->SetValue("", 4, std::string("\x01\0\0\0", 4));
  }
  brindle::WritableBytes image;
  bool changed = false;
  if (!brindle::UpdateHive9x(registry, &image, &changed, &fault)) {
    if (fault.what.empty()) std::abort();
    return 0;  // a change this file cannot hold, said so
  }
  // Every accepted file with a subkey takes the longer value: it changes.
  if ((first != nullptr && !changed) ||
      !brindle::CheckHive9x(registry, image.view(), &fault)) {
    std::abort();
  }
  brindle::Registry again;
  if (!brindle::LoadHive9x(brindle::FileBytes::Copy(image.view()),
                           "HKEY_LOCAL_MACHINE", again, &fault) ||
      brindle::Regedit4Text(again) != brindle::Regedit4Text(registry)) {
    std::abort();
  }
  return 0;
}
