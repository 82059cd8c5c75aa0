// What the benchmarks share: a simulator folder of their own, the stand-in with
// its server and the aircraft, port tables laid out around the aircraft, and the
// time spent in the exchanges' round trips.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/port_table.h"
#include "server/server.h"

namespace qel::bench {

// A fresh folder with its modules folder, the current directory while it lives.
class SimFolder {
 public:
  SimFolder();
  ~SimFolder();
  SimFolder(const SimFolder&) = delete;
  SimFolder& operator=(const SimFolder&) = delete;
  std::string ModulePath(const std::string& name) const;

 private:
  std::string path_;
  std::string previous_;
};

// Where the aircraft flies in every benchmark, and the visibility it sees (3.218 km).
struct Aircraft {
  double latitude;
  double longitude;
  std::uint16_t visibility_raw;
};
constexpr Aircraft kAircraft{55.97, 37.41, 250};
constexpr float kRangeKm = 30.0f;

enum class Layout {
  // Ports scattered over the globe: the latitude test turns most away cheaply.
  kScattered,
  // Every port on the aircraft's parallel, 2 to 358 degrees of longitude away.
  kSameParallel,
  // Every port just out of range, 35 to 60 km away all round: no quick test can turn
  // any away, and each needs the full distance. The worst case.
  kNearby,
};

// `count` ports, `in_range` of them within range of kAircraft, spread through the table.
std::vector<PortRecord> MakePorts(int count, int in_range, Layout layout);

// Makes `ports` the module's table, allocated as the loader allocates it.
void InstallPortTable(const std::vector<PortRecord>& ports);

// The stand-in reset and its server up, answering with the aircraft's state.
class Simulator {
 public:
  Simulator();
  ~Simulator();
  server::Server& server() { return *server_; }

 private:
  std::unique_ptr<server::Server> server_;
};

// Time spent inside SendMessageTimeoutA, summed over every call since installing.
struct RoundTrips {
  std::int64_t ns = 0;
  std::int64_t count = 0;
};
void TimeRoundTrips();
RoundTrips RoundTripsSoFar();

std::int64_t NowNs();

// The cycle's work without its ports: the log and link opened, the clock,
// visibility and position exchanged, then `in_range` light-word read and write
// exchanges, the link and log closed; the same exchanges the cycle makes.
void ExchangesAlone(int in_range);

}  // namespace qel::bench
