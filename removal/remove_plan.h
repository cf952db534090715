// The remove mode: every driver group taken off the machine, group by group.
#ifndef BRINDLE_REMOVAL_REMOVE_PLAN_H_
#define BRINDLE_REMOVAL_REMOVE_PLAN_H_

#include "catalogue/catalogue.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace brindle {

/// Files first, then fixed keys, enumerator sweeps and class sweeps.
void RemoveGroup(Platform& platform, Console& console,
                 const DriverGroup& group);

/// Removes the port, storage, alternate storage and HID groups in that order.
void RunRemove(Platform& platform, Console& console);

}  // namespace brindle

#endif  // BRINDLE_REMOVAL_REMOVE_PLAN_H_
