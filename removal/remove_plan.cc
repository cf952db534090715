#include "removal/remove_plan.h"

#include "removal/file_key_deletion.h"
#include "removal/registry_sweeps.h"

namespace brindle {

void RemoveGroup(Platform& platform, Console& console,
                 const DriverGroup& group) {
  DeleteFilePairs(platform, console, group.filePairs, group.filePairCount);
  DeleteKeyList(platform, console, group.fixedKeys, group.fixedKeyCount);
  for (std::size_t i = 0; i < group.enumSweepCount; ++i) {
    SweepEnumKeys(platform, console, group.enumSweeps[i].enumerator,
                  group.enumSweeps[i].prefix);
  }
  for (std::size_t i = 0; i < group.classSweepCount; ++i) {
    SweepClassInstances(platform, console, group.classSweeps[i].className,
                        group.classSweeps[i].provider);
  }
}

void RunRemove(Platform& platform, Console& console) {
  static const DriverGroup* const kRemovalOrder[] = {
      &PortGroup, &StorageGroup, &AltStorageGroup, &HidGroup};
  for (const DriverGroup* group : kRemovalOrder) {
    RemoveGroup(platform, console, *group);
  }
}

}  // namespace brindle
