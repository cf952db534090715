// The sweeps over one key of many subkeys, a share of them matching, on keys
// built in memory (0) or loaded from their export as a run loads them (1):
// then the keys are built from the text as the sweep reaches them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <sstream>

#include "platform/console.h"
#include "platform/hosted/forms/regedit4.h"
#include "platform/hosted/machine/hosted_platform.h"
#include "platform/hosted/machine/stream_output.h"
#include "removal/registry_sweeps.h"

namespace brindle {
namespace {

// Enum\USB or Class\USB with `count` subkeys, every `matchEvery`-th ours.
void Fill(Registry& registry, bool classes, long count, long matchEvery) {
  RegistryKey* key = registry.top.FindOrAddSubkey("HKEY_LOCAL_MACHINE");
  const char* path[] = {"System", "CurrentControlSet", "Services", "Class",
                        "USB"};
  if (classes) {
    for (const char* name : path) key = key->FindOrAddSubkey(name);
  } else {
    key = key->FindOrAddSubkey("Enum")->FindOrAddSubkey("USB");
  }
  for (long i = 0; i < count; ++i) {
    bool ours = matchEvery > 0 && i % matchEvery == 0;
    char name[40];
    if (classes) {
      std::snprintf(name, sizeof name, "%04ld", i);
    } else {
      std::snprintf(name, sizeof name, "VID_%s&PID_%04lX",
                    ours ? "0E7D" : "046D", i);
    }
    RegistryKey* subkey = key->FindOrAddSubkey(name);
    if (classes) {
      subkey->SetValue("ProviderName", 1,
                       std::string(ours ? "ZEL" : "Microsoft") + '\0');
      subkey->SetValue("DriverDesc", 1, std::string("USB device") + '\0');
    } else {
      subkey->FindOrAddSubkey("5&1&0")->SetValue("DeviceDesc", 1,
                                                 std::string("USB") + '\0');
    }
  }
}

void Sweep(benchmark::State& state, bool classes) {
  const long count = state.range(0);
  const long matchEvery = state.range(1);
  const bool fromExport = state.range(2) != 0;
  Drive drive("/nonexistent");
  std::ostringstream out;
  StreamOutput output(out);
  std::string text;
  if (fromExport) {
    Registry filled;
    Fill(filled, classes, count, matchEvery);
    text = Regedit4Text(filled);
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<RegistryFile> file;  // outlives the registry it fills
    auto registry = std::make_unique<Registry>();
    if (fromExport) {
      LoadFault fault;
      file = LoadRegedit4(FileBytes::Copy(text), *registry, &fault);
    } else {
      Fill(*registry, classes, count, matchEvery);
    }
    HostedPlatform platform(*registry, drive, nullptr);
    Console console(platform, output);
    out.str(std::string());
    state.ResumeTiming();
    if (classes) {
      SweepClassInstances(platform, console, "USB", "ZEL");
    } else {
      SweepEnumKeys(platform, console, "USB", "VID_0E7D");
    }
    state.PauseTiming();
    registry.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
}

void BM_SweepEnumKeys(benchmark::State& state) { Sweep(state, false); }
void BM_SweepClassInstances(benchmark::State& state) { Sweep(state, true); }

// Subkey counts from 10^3 to 10^5; every 10th matching, and all of them.
BENCHMARK(BM_SweepEnumKeys)
    ->ArgsProduct({{1000, 10000, 100000}, {10, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SweepClassInstances)
    ->ArgsProduct({{1000, 10000, 100000}, {10, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace brindle
