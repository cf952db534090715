// brindle on a simulated Windows 98 machine: the program's entry point on
// every system but Windows.
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "app/program.h"
#include "platform/hosted/machine/open_system.h"
#include "platform/hosted/machine/stream_output.h"

namespace {

// A large registry is read into many small allocations, and a page fault
// every 4 KB of them costs more than building the keys (about 6 us a fault
// on this project's machine): the heap grows in steps of 256 MB of address
// space, the first backed by huge pages where the system allows.
void GrowTheHeapInHugePages() {
#if defined(M_TOP_PAD) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kStep = std::size_t{256} << 20;
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (mallopt(M_TOP_PAD, static_cast<int>(kStep)) == 0) return;
  const auto before = reinterpret_cast<std::uintptr_t>(sbrk(0));
  // Takes the first step; volatile, or the compiler drops the pair.
  void* volatile step = std::malloc(64 << 10);
  std::free(step);
  const auto after = reinterpret_cast<std::uintptr_t>(sbrk(0));
  const std::uintptr_t from = (before + kHugePage - 1) & ~(kHugePage - 1);
  if (after > from) {
    ::madvise(reinterpret_cast<void*>(from), after - from, MADV_HUGEPAGE);
  }
#endif
}

}  // namespace

int main(int argc, char** argv) {
  GrowTheHeapInHugePages();
  brindle::StreamOutput out(std::cout);
  brindle::Mode mode = brindle::SelectMode(argc, argv);
  if (mode == brindle::Mode::Usage) return brindle::RunUsage(out);
  // The system is opened before anything is printed: a run that cannot have
  // it says nothing on standard output.
  std::string error;
  std::unique_ptr<brindle::MachinePlatform> system =
      brindle::OpenSystem(&error);
  if (!system) {
    std::fprintf(stderr, "brindle: %s\n", error.c_str());
    return brindle::ExitMachineFault;
  }
  int status = brindle::RunMode(mode, *system, out);
  std::cout.flush();
  // A run whose changes could not be kept must not look like one that
  // finished: the next run folds the journal in.
  if (!system->Finish(&error)) {
    std::fprintf(stderr, "brindle: %s\n", error.c_str());
    return brindle::ExitMachineFault;
  }
  return status;
}
