// The install mode: driver files copied from the current directory to their
// fixed places.
#ifndef BRINDLE_INSTALL_INSTALL_PLAN_H_
#define BRINDLE_INSTALL_INSTALL_PLAN_H_

#include <cstddef>

#include "catalogue/catalogue.h"
#include "platform/console.h"
#include "platform/platform.h"

namespace brindle {

/// Copies each pair's source over its installed path; returns how many
/// were copied. A source not in the current directory is passed over.
std::size_t CopyFilePairs(Platform& platform, Console& console,
                          const FilePair* pairs, std::size_t count);

/// Prepares the INF directory, then copies the port, HID and storage groups,
/// and the alternate storage group when no storage file was copied. Returns
/// 0, or the non-zero result of the preparation when it stopped first.
int RunInstall(Platform& platform, Console& console);

}  // namespace brindle

#endif  // BRINDLE_INSTALL_INSTALL_PLAN_H_
