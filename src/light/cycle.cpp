// One call of the tick handler. Each exchange's failure ends the cycle with a
// line that names the value and the reason; only the clock's failure lets it go on.
#include "light/cycle.h"

#include <cmath>

#include "common/log_stream.h"
#include "config/port_table.h"
#include "ipc/ipc_client.h"
#include "light/evaluation.h"

namespace qel {

namespace {

std::int32_t g_calls = 0;

// Queues one read and exchanges it; false with `result` set when either fails.
bool Fetch(std::uint32_t offset, std::uint32_t size, void* destination, std::uint32_t* result) {
  return IpcRead(offset, size, destination, result) && IpcProcess(result);
}

bool Store(std::uint32_t offset, std::uint32_t size, const void* source, std::uint32_t* result) {
  return IpcWrite(offset, size, source, result) && IpcProcess(result);
}

// A port can only be in range when its latitude alone is nearer than its range:
// the great-circle distance is never below the meridian arc between the two
// latitudes. The margin keeps rounding from ever rejecting a port in range;
// a not-a-number goes on to the full test, which rejects it.
bool SurelyOutOfRange(const PortRecord& port, double latitude) {
  constexpr double kKmPerDegree = kEarthRadiusM / 1000.0 * kPi / 180.0;
  return std::fabs(port.latitude - latitude) * kKmPerDegree * (1.0 - 1e-9) >=
         static_cast<double>(port.range);
}

// The cycle's work on an open link.
void RunCycle(LogStream* log) {
  std::uint32_t result = IpcOk;
  std::uint8_t clock[3] = {0, 0, 0};
  if (Fetch(offset::kClock, sizeof clock, clock, &result)) {
    LogPrintf(log, "Time: FS clock = %02d:%02d:%02d \n", static_cast<std::int8_t>(clock[0]),
              static_cast<std::int8_t>(clock[1]), static_cast<std::int8_t>(clock[2]));
  } else {
    LogPrintf(log, "Request for time failed: %s\n", IpcResultText(result));
  }

  std::uint16_t raw_visibility = 0;
  if (!Fetch(offset::kVisibility, sizeof raw_visibility, &raw_visibility, &result)) {
    LogPrintf(log, "Request for visibility failed: %s\n", IpcResultText(result));
    return;
  }
  std::int64_t raw_latitude = 0, raw_longitude = 0;
  if (!Fetch(offset::kLatitude, sizeof raw_latitude, &raw_latitude, &result) ||
      !Fetch(offset::kLongitude, sizeof raw_longitude, &raw_longitude, &result)) {
    LogPrintf(log, "Request for position failed: %s\n", IpcResultText(result));
    return;
  }
  double visibility = VisibilityKm(raw_visibility);
  double latitude = LatitudeDeg(raw_latitude);
  double longitude = LongitudeDeg(raw_longitude);

  const PortTable& table = ThePortTable();
  for (std::int32_t i = 0; i < table.count; ++i) {
    const PortRecord& port = table.records[i];
    if (SurelyOutOfRange(port, latitude)) continue;
    double distance = DistanceKm(port.latitude, port.longitude, latitude, longitude);
    if (!InRange(port, distance)) continue;

    std::uint16_t light_word = 0;
    if (!Fetch(offset::kLightWord, sizeof light_word, &light_word, &result)) {
      LogPrintf(log, "Request for lights failed: %s\n", IpcResultText(result));
      return;
    }
    bool on = LightsOn(port, visibility);
    light_word = on ? static_cast<std::uint16_t>(light_word | kLightBit)
                    : static_cast<std::uint16_t>(light_word & ~kLightBit);
    LogPrintf(log,
              on ? "LIGHTS ON: Port %d, Visibility - %f km: lat: %f, lon: %f, Aircraft lat: %f, "
                   "lon: %f, Range:  %f km\n"
                 : "LIGHTS OFF: Port %d, Visibility - %f km: lat: %f, lon: %f, Aircraft lat: %f, "
                   "lon: %f, Range:  %f km\n",
              i + 1, visibility, port.latitude, port.longitude, latitude, longitude, distance);
    if (!Store(offset::kLightWord, sizeof light_word, &light_word, &result)) {
      LogPrintf(log, "Request for lights failed: %s\n", IpcResultText(result));
      return;
    }
  }
}

}  // namespace

void QEL_HOSTAPI TickHandler(HostWord, HostWord, HostWord, HostWord) {
  if (ThePortTable().count == 0) return;
  if (g_calls < kTickDivisor) {
    ++g_calls;
    return;
  }
  g_calls = 0;
  LogStream log = LogOpen(false);
  LogPrintf(&log, "Sys_1Hz: Click! ");
  std::uint32_t result = IpcOk;
  if (IpcOpen(0, &result)) {
    RunCycle(&log);
    IpcClose();
  } else {
    // A failed opening has left nothing of the link to release.
    LogPrintf(&log, "QEL module IPC server not opened !\n");
  }
  LogClose(&log);
}

void ResetTickCounter() {
  g_calls = 0;
}

}  // namespace qel
