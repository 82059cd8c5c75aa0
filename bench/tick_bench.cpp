// The idle tick: calls 1 to 15 of the tick handler, beside an empty handler of
// the same type called through the same kind of pointer.
#include <benchmark/benchmark.h>

#include "light/cycle.h"
#include "module/linkage.h"
#include "support/world.h"

namespace qel::bench {
namespace {

// One iteration is the fifteen idle calls between two cycles; the counter goes
// back to 0 after them (outside the handler) so that no cycle ever runs. The
// empty handler's loop does the same, so both carry the reset alike.
void RunFifteen(benchmark::State& state, HostEventHandler handler) {
  InstallPortTable(MakePorts(1, 0, Layout::kScattered));
  benchmark::DoNotOptimize(handler);  // a pointer the compiler cannot see through
  for (auto _ : state) {
    for (int call = 0; call < kTickDivisor; ++call) handler(call, 0, 0, 0);
    ResetTickCounter();
  }
  state.SetItemsProcessed(state.iterations() * kTickDivisor);
  ReleasePortTable();
}

void BM_IdleTick(benchmark::State& state) {
  RunFifteen(state, &TickHandler);
}

void BM_EmptyHandler(benchmark::State& state) {
  RunFifteen(state, &IgnoreEvent);
}

BENCHMARK(BM_EmptyHandler);
BENCHMARK(BM_IdleTick);

}  // namespace
}  // namespace qel::bench
