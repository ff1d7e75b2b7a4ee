// How the device walk scales: the matcher on one ID, and counting matching devices over a
// simulated machine with many boards (two property reads per device, whatever the rows).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "pnp/device_walk.h"
#include "pnp/hardware_ids.h"
#include "platform/sim/sim.h"

namespace {

void BM_MatchPlainPattern(benchmark::State& state) {
  IdPattern pattern = parse_id_pattern(supported_hardware_ids[3]);
  const char* id = "pci\\ven_1e5c&dev_0410&subsys_00031e5c";
  for (auto _ : state) benchmark::DoNotOptimize(id_matches_pattern(id, pattern));
}
BENCHMARK(BM_MatchPlainPattern);

void BM_MatchWildcardPattern(benchmark::State& state) {
  IdPattern pattern = parse_id_pattern("PCI\\VEN_*&DEV_*&SUBSYS_*1E5C");
  const char* id = "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00031E5C&REV_01";
  for (auto _ : state) benchmark::DoNotOptimize(id_matches_pattern(id, pattern));
}
BENCHMARK(BM_MatchWildcardPattern);

// Counting every supported hardware ID once, as an installation does, with N boards present.
void BM_CountSupportedDevices(benchmark::State& state) {
  std::string dir = (std::filesystem::temp_directory_path() / "halvik-bench-machine").string();
  std::filesystem::remove_all(dir);
  std::string error;
  if (!sim::create_machine(dir, "xp", &error) || !sim::use_machine(dir, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (int i = 0; i < state.range(0); ++i) {
    char instance[96];
    std::snprintf(instance, sizeof instance, "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01\\5&BENCH&0&%04X", i);
    sim::add_board({instance, {"PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C&REV_01", "PCI\\VEN_1E5C&DEV_0410&SUBSYS_00011E5C"},
                    {"PCI\\VEN_1E5C&DEV_0410"}, 0});
  }
  for (auto _ : state) {
    std::uint32_t total = 0;
    DeviceWalk walk;
    open_device_walk(port::DIGCF_PRESENT, supported_hardware_ids, supported_hardware_id_count, &walk);
    for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row)
      walk_row(&walk, row, count_visitor, &total, false);
    close_device_walk(&walk);
    benchmark::DoNotOptimize(total);
  }
  state.SetComplexityN(state.range(0));
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CountSupportedDevices)->RangeMultiplier(4)->Range(4, 64)->Complexity();

}  // namespace
