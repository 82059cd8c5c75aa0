// The benchmarks' simulator: folder, stand-in, server, port layouts and the round-trip clock.
#include "support/world.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "common/log_stream.h"
#include "ipc/ipc_client.h"
#include "light/cycle.h"
#include "light/evaluation.h"
#include "os/os_calls.h"
#include "qelsim/flight.h"
#include "standin/standin.h"

namespace qel::bench {

namespace fs = std::filesystem;

SimFolder::SimFolder() {
  previous_ = fs::current_path().string();
  std::string pattern = (fs::temp_directory_path() / "qel-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a folder");
  path_ = pattern;
  fs::create_directory(fs::path(path_) / "modules");
  fs::current_path(path_);
}

SimFolder::~SimFolder() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
  fs::remove_all(path_, ignored);
}

std::string SimFolder::ModulePath(const std::string& name) const {
  return (fs::path(path_) / "modules" / name).string();
}

namespace {

// A fixed sequence, so that every run lays the same ports.
class Lcg {
 public:
  double Uniform(double low, double high) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return low + (high - low) * static_cast<double>(state_ >> 11) * 0x1p-53;
  }

 private:
  std::uint64_t state_ = 0x51454C4D4152494Eull;
};

PortRecord Port(double latitude, double longitude) {
  PortRecord port{};
  port.latitude = latitude;
  port.longitude = longitude;
  port.threshold = 5.0f;
  port.range = kRangeKm;
  std::memcpy(port.label, "PORT", 4);
  return port;
}

}  // namespace

std::vector<PortRecord> MakePorts(int count, int in_range, Layout layout) {
  std::vector<PortRecord> ports;
  ports.reserve(static_cast<std::size_t>(count));
  Lcg random;
  for (int i = 0; i < count; ++i) {
    // The ports in range sit at even intervals through the table.
    bool near = in_range > 0 && i % (count / in_range) == 0 && i / (count / in_range) < in_range;
    if (near) {
      ports.push_back(Port(kAircraft.latitude + 0.05, kAircraft.longitude + 0.05));
    } else if (layout == Layout::kNearby) {
      // 0.32 to 0.54 degrees of latitude and longitude from the aircraft (35 to 60 km).
      for (;;) {
        PortRecord port = Port(kAircraft.latitude + random.Uniform(-0.54, 0.54),
                               kAircraft.longitude + random.Uniform(-0.97, 0.97));
        double distance =
            DistanceKm(port.latitude, port.longitude, kAircraft.latitude, kAircraft.longitude);
        if (distance > 35.0 && distance < 60.0) {
          ports.push_back(port);
          break;
        }
      }
    } else if (layout == Layout::kSameParallel) {
      // At least 2 degrees of longitude away: over 120 km on this parallel.
      double longitude = kAircraft.longitude + 2.0 + 356.0 * i / count;
      if (longitude >= 180.0) longitude -= 360.0;
      ports.push_back(Port(kAircraft.latitude, longitude));
    } else {
      for (;;) {
        PortRecord port = Port(random.Uniform(-80.0, 80.0), random.Uniform(-180.0, 180.0));
        if (DistanceKm(port.latitude, port.longitude, kAircraft.latitude, kAircraft.longitude) >
            2 * kRangeKm) {
          ports.push_back(port);
          break;
        }
      }
    }
  }
  return ports;
}

void InstallPortTable(const std::vector<PortRecord>& ports) {
  ReleasePortTable();
  auto* records = static_cast<PortRecord*>(std::calloc(ports.size(), sizeof(PortRecord)));
  if (records == nullptr) throw std::runtime_error("no memory for the port table");
  std::memcpy(records, ports.data(), ports.size() * sizeof(PortRecord));
  ThePortTable().records = records;
  ThePortTable().count = static_cast<std::int32_t>(ports.size());
  ResetTickCounter();
}

Simulator::Simulator() {
  os::Os() = os::DefaultOsCalls();
  standin::Reset();
  IpcResetForTest();
  ResetTickCounter();
  server_ = std::make_unique<server::Server>();
  server::SimState state;
  state.hour = 12;
  state.visibility_raw = kAircraft.visibility_raw;
  state.latitude_raw = sim::LatitudeRaw(kAircraft.latitude);
  state.longitude_raw = sim::LongitudeRaw(kAircraft.longitude);
  state.light_word = 0;
  server_->SetState(state);
}

Simulator::~Simulator() {
  server_.reset();
  ReleasePortTable();
  os::Os() = os::DefaultOsCalls();
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {

RoundTrips g_round_trips;
decltype(os::OsCalls::SendMessageTimeoutA) g_send = nullptr;

os::LResult TimedSend(os::Hwnd window, os::Uint message, os::WParam wparam, os::LParam lparam,
                      os::Uint flags, os::Uint timeout_ms, os::DwordPtr* result) {
  const std::int64_t start = NowNs();
  const os::LResult sent = g_send(window, message, wparam, lparam, flags, timeout_ms, result);
  g_round_trips.ns += NowNs() - start;
  ++g_round_trips.count;
  return sent;
}

bool Fetch(std::uint32_t offset, std::uint32_t size, void* destination, std::uint32_t* result) {
  return IpcRead(offset, size, destination, result) && IpcProcess(result);
}

}  // namespace

void TimeRoundTrips() {
  g_send = os::Os().SendMessageTimeoutA;
  os::Os().SendMessageTimeoutA = &TimedSend;
}

RoundTrips RoundTripsSoFar() {
  return g_round_trips;
}

void ExchangesAlone(int in_range) {
  LogStream log = LogOpen(false);
  LogPrintf(&log, "Sys_1Hz: Click! ");
  std::uint32_t result = IpcOk;
  if (IpcOpen(0, &result)) {
    std::uint8_t clock[3] = {};
    std::uint16_t visibility = 0, light_word = 0;
    std::int64_t latitude = 0, longitude = 0;
    Fetch(offset::kClock, 3, clock, &result);
    LogPrintf(&log, "Time: FS clock = %02d:%02d:%02d \n", clock[0], clock[1], clock[2]);
    Fetch(offset::kVisibility, 2, &visibility, &result);
    Fetch(offset::kLatitude, 8, &latitude, &result);
    Fetch(offset::kLongitude, 8, &longitude, &result);
    for (int i = 0; i < in_range; ++i) {
      Fetch(offset::kLightWord, 2, &light_word, &result);
      light_word = static_cast<std::uint16_t>(light_word | kLightBit);
      IpcWrite(offset::kLightWord, 2, &light_word, &result) && IpcProcess(&result);
    }
    IpcClose();
  }
  LogClose(&log);
}

}  // namespace qel::bench
