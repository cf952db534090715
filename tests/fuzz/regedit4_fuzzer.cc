// The REGEDIT4 reader on any bytes: no crash, no leak, and whatever it
// accepts is written out in a form that reads back to the same export. The
// loader that keeps an export whole agrees with it, untouched, half looked
// into and wholly looked into.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/hosted/forms/regedit4.h"

namespace {

std::string Export(const brindle::Registry& registry) {
  return brindle::Regedit4Text(registry);
}

// Looks into every key down to `depth` levels below `key`.
void LookInto(const brindle::RegistryKey& key, int depth) {
  if (depth == 0) return;
  key.ForEachValue([](const brindle::RegistryValue&) {});
  key.ForEachSubkey(
      [&](const brindle::RegistryKey& subkey) { LookInto(subkey, depth - 1); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  brindle::Registry registry;
  brindle::Regedit4Fault fault;
  if (!brindle::ReadRegedit4(text, registry, &fault)) {
    if (fault.line == 0 || fault.what.empty()) std::abort();
    // The loader refuses it too, at the same line.
    brindle::Registry loaded;
    brindle::Regedit4Fault loadFault;
    if (brindle::LoadRegedit4(brindle::FileBytes::Copy(text), loaded,
                              &loadFault) ||
        loadFault.line != fault.line) {
      std::abort();
    }
    return 0;
  }
  std::string first = Export(registry);
  brindle::Registry again;
  if (!brindle::ReadRegedit4(first, again, &fault)) std::abort();
  if (Export(again) != first) std::abort();
  for (int depth : {0, 2, 1000}) {
    brindle::Registry loaded;
    if (!brindle::LoadRegedit4(brindle::FileBytes::Copy(text), loaded, &fault))
      std::abort();
    LookInto(loaded.top, depth);
    std::string written = Export(loaded);
    // Looked into wholly, or read from text already in the written form,
    // it is written in that form.
    if ((depth == 1000 || text == first) && written != first) std::abort();
    brindle::Registry reread;
    if (!brindle::ReadRegedit4(written, reread, &fault)) std::abort();
    if (Export(reread) != first) std::abort();
  }
  return 0;
}
