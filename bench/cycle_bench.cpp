// An active cycle (the sixteenth call) against the in-process stand-in server,
// timed apart from the exchanges' round trips, beside the same exchanges without
// any port work. The stand-in's clock is virtual: the handshake's pause costs nothing.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "ipc/ipc_client.h"
#include "light/cycle.h"
#include "module/linkage.h"
#include "support/world.h"

namespace qel::bench {
namespace {

// The log grows by a few lines a cycle; it is emptied now and then, untimed.
void TrimLog(benchmark::IterationCount iteration) {
  if (iteration % 4096 == 0) ::truncate("modules/Qel.log", 0);
}

// Reports one iteration's time apart from its round trips, and sums the rest.
class CycleClock {
 public:
  void Start() {
    before_ = RoundTripsSoFar();
    start_ = NowNs();
  }
  void Stop(benchmark::State& state) {
    const std::int64_t total = NowNs() - start_;
    const RoundTrips after = RoundTripsSoFar();
    const std::int64_t trips = after.ns - before_.ns;
    total_ns_ += total;
    trips_ns_ += trips;
    exchanges_ += after.count - before_.count;
    state.SetIterationTime(static_cast<double>(total - trips) * 1e-9);
  }
  void Report(benchmark::State& state) const {
    const double n = static_cast<double>(state.iterations());
    state.counters["with_trips_us"] = static_cast<double>(total_ns_) / n / 1e3;
    state.counters["trips_us"] = static_cast<double>(trips_ns_) / n / 1e3;
    state.counters["exchanges"] = static_cast<double>(exchanges_) / n;
  }

 private:
  RoundTrips before_;
  std::int64_t start_ = 0;
  std::int64_t total_ns_ = 0;
  std::int64_t trips_ns_ = 0;
  std::int64_t exchanges_ = 0;
};

void BM_ActiveCycle(benchmark::State& state, Layout layout) {
  const int ports = static_cast<int>(state.range(0));
  const int in_range = static_cast<int>(state.range(1));
  SimFolder folder;
  Simulator simulator;
  InstallPortTable(MakePorts(ports, in_range, layout));
  TimeRoundTrips();
  HostEventHandler handler = &TickHandler;
  benchmark::DoNotOptimize(handler);

  // One cycle first, to prove it does the work it is timed for.
  const RoundTrips before = RoundTripsSoFar();
  for (int call = 0; call <= kTickDivisor; ++call) handler(call, 0, 0, 0);
  if (RoundTripsSoFar().count - before.count != 5 + 2 * in_range ||
      ((simulator.server().LightWord() & kLightBit) != 0) != (in_range > 0)) {
    state.SkipWithError("the cycle did not make the exchanges its ports call for");
    return;
  }

  CycleClock clock;
  for (auto _ : state) {
    TrimLog(state.iterations());
    for (int call = 0; call < kTickDivisor; ++call) handler(call, 0, 0, 0);
    clock.Start();
    handler(kTickDivisor, 0, 0, 0);
    clock.Stop(state);
  }
  clock.Report(state);
  state.counters["ports"] = ports;
  state.counters["in_range"] = in_range;
}

void BM_ExchangesAlone(benchmark::State& state) {
  const int in_range = static_cast<int>(state.range(0));
  SimFolder folder;
  Simulator simulator;
  TimeRoundTrips();
  CycleClock clock;
  for (auto _ : state) {
    TrimLog(state.iterations());
    clock.Start();
    ExchangesAlone(in_range);
    clock.Stop(state);
  }
  clock.Report(state);
  state.counters["in_range"] = in_range;
}

void CycleSizes(benchmark::internal::Benchmark* b) {
  for (int ports : {1, 100, 10000, 1000000}) {
    for (int in_range : {0, 1, 10}) {
      if (in_range <= ports) b->Args({ports, in_range});
    }
  }
  b->UseManualTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_ExchangesAlone)
    ->Arg(0)
    ->Arg(1)
    ->Arg(10)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ActiveCycle, scattered, Layout::kScattered)->Apply(CycleSizes);
BENCHMARK_CAPTURE(BM_ActiveCycle, same_parallel, Layout::kSameParallel)->Apply(CycleSizes);
BENCHMARK_CAPTURE(BM_ActiveCycle, nearby, Layout::kNearby)
    ->Args({100, 10})
    ->Args({10000, 10})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qel::bench
