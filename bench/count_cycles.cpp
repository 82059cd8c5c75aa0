// Runs active cycles for callgrind to count their instructions, free of the noise
// that timing suffers on a shared machine. Usage:
//   qel_bench_count scattered|same_parallel|nearby PORTS IN_RANGE CYCLES
//   qel_bench_count exchanges - IN_RANGE CYCLES
// Collect with --toggle-collect='qel::TickHandler*' (or 'qel::bench::ExchangesAlone*').
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "light/cycle.h"
#include "module/linkage.h"
#include "support/world.h"

int main(int argc, char** argv) {
  using namespace qel;
  using namespace qel::bench;
  if (argc != 5) {
    std::fputs(
        "usage: qel_bench_count scattered|same_parallel|nearby|exchanges PORTS IN_RANGE CYCLES\n",
        stderr);
    return 2;
  }
  const bool exchanges = std::strcmp(argv[1], "exchanges") == 0;
  const Layout layout = std::strcmp(argv[1], "same_parallel") == 0 ? Layout::kSameParallel
                        : std::strcmp(argv[1], "nearby") == 0      ? Layout::kNearby
                                                                   : Layout::kScattered;
  const int in_range = std::atoi(argv[3]);
  const int cycles = std::atoi(argv[4]);
  SimFolder folder;
  Simulator simulator;
  if (exchanges) {
    for (int cycle = 0; cycle < cycles; ++cycle) ExchangesAlone(in_range);
    return 0;
  }
  InstallPortTable(MakePorts(std::atoi(argv[2]), in_range, layout));
  HostEventHandler volatile handler = &TickHandler;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    for (int call = 0; call <= kTickDivisor; ++call) handler(call, 0, 0, 0);
  }
  const bool lit = (simulator.server().LightWord() & kLightBit) != 0;
  if (lit != (in_range > 0)) {
    std::fputs("the cycles did not do the work their ports call for\n", stderr);
    return 1;
  }
  return 0;
}
