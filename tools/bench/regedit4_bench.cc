// REGEDIT4 reading and writing, in bytes of registry file a second: the
// line-by-line reader, the loader that keeps an export whole, and writing
// back a loaded export after one key was deleted.
#include <benchmark/benchmark.h>

#include "platform/hosted/forms/regedit4.h"
#include "tools/genmachine/machine_generator.h"

namespace brindle {
namespace {

std::string MachineText(long keys) {
  MachineOptions options;
  options.keys = keys;
  Registry registry;
  GenerateRegistry(options, registry);
  return Regedit4Text(registry);
}

void BM_ReadRegedit4(benchmark::State& state) {
  const std::string text = MachineText(state.range(0));
  for (auto _ : state) {
    Registry registry;
    LoadFault fault;
    if (!ReadRegedit4(text, registry, &fault)) state.SkipWithError("malformed");
    benchmark::DoNotOptimize(registry.top.subkeyCount());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadRegedit4)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

void BM_WriteRegedit4(benchmark::State& state) {
  const std::string text = MachineText(state.range(0));
  Registry registry;
  LoadFault fault;
  ReadRegedit4(text, registry, &fault);
  for (auto _ : state) {
    std::size_t written = 0;
    ExportRegedit4(registry, [&](std::uint64_t, std::string_view piece) {
      written += piece.size();
      return 0;
    });
    benchmark::DoNotOptimize(written);
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_WriteRegedit4)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

void BM_LoadRegedit4(benchmark::State& state) {
  const std::string text = MachineText(state.range(0));
  for (auto _ : state) {
    Registry registry;
    LoadFault fault;
    const auto file = LoadRegedit4(FileBytes::Copy(text), registry, &fault);
    if (file == nullptr) state.SkipWithError("refused");
    benchmark::DoNotOptimize(registry.top.subkeyCount());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_LoadRegedit4)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

void BM_WriteLoadedRegedit4(benchmark::State& state) {
  const std::string text = MachineText(state.range(0));
  Registry registry;
  LoadFault fault;
  const auto file = LoadRegedit4(FileBytes::Copy(text), registry, &fault);
  RegistryKey* usb = registry.Find("HKEY_LOCAL_MACHINE\\Enum\\USB");
  if (file == nullptr || usb == nullptr || usb->subkeyCount() == 0) {
    state.SkipWithError("no Enum\\USB to delete from");
    return;
  }
  registry.DeleteKey(*usb->SubkeyAt(usb->subkeyCount() / 2));
  // Copied out, as a write to a file copies it: the untouched stretches are
  // handed over as they lie, so only the copy shows.
  std::string out;
  out.reserve(text.size() + 4096);
  for (auto _ : state) {
    out.clear();
    WriteFault writeFault;
    file->Write(
        registry,
        [&](std::uint64_t, std::string_view piece) {
          out += piece;
          return 0;
        },
        &writeFault);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_WriteLoadedRegedit4)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brindle
