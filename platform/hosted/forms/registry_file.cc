#include "platform/hosted/forms/registry_file.h"

#include <cstdio>
#include <vector>

namespace brindle {

std::string FaultText(const std::string& file, const char* kind,
                      const LoadFault& fault) {
  const std::string said = std::string(kind) + ": " + fault.what;
  if (fault.place == LoadFault::kLine)
    return file + ":" + std::to_string(fault.at) + ": " + said;
  char offset[32];
  std::snprintf(offset, sizeof offset, "%llx",
                static_cast<unsigned long long>(fault.at));
  return file + ": at 0x" + offset + ": " + said;
}

bool FileHoldsRegistry(RegistryFile& file, const Registry& registry) {
  for (const ChangedKey& change : ChangedKeys(registry)) {
    if (change.made || change.deleted) {
      if (change.made && change.deleted) continue;  // made and gone again
      return false;
    }
    // Below a key that went, the key that went tells.
    if (!change.key->attached()) continue;
    // A key the file does not fill (a file applied line by line) cannot
    // be compared with it: the file is written anew.
    if (change.key->fileKey() == 0) return false;
    RegistryKey asRead(std::string_view(), nullptr);
    file.FillValues(asRead, change.key->fileKey());
    if (!SameValues(*change.key, asRead)) return false;
  }
  return true;
}

std::string RegistryDifference(RegistryKey& a, RegistryKey& b) {
  // Depth first; a pair the walk was first to look into is emptied again
  // once all below it is compared (`compared`).
  struct Step {
    RegistryKey *a, *b;
    bool compared;
  };
  std::vector<Step> stack{{&a, &b, false}};
  while (!stack.empty()) {
    const Step step = stack.back();
    stack.pop_back();
    if (step.compared) {
      step.a->Unfill();
      step.b->Unfill();
      continue;
    }
    if (step.a->waiting() && step.b->waiting())
      stack.push_back({step.a, step.b, true});
    const auto stored = step.a->storedValues();
    if (!(stored && stored == step.b->storedValues()) &&
        !SameValues(*step.a, *step.b)) {
      return step.a->Path() + ": values differ";
    }
    SubkeyCursor at[2];
    for (std::size_t i = 0;; ++i) {
      RegistryKey* left = step.a->SubkeyAt(i, &at[0]);
      RegistryKey* right = step.b->SubkeyAt(i, &at[1]);
      if (!left && !right) break;
      if (!left || !right || left->name() != right->name()) {
        return (left ? left : right)->Path() +
               ": missing, added or out of place";
      }
      stack.push_back({left, right, false});
    }
  }
  return std::string();
}

}  // namespace brindle
