// One call of the tick handler. Each exchange's failure ends the cycle with a
// line that names the value and the reason; only the clock's failure lets it go on.
#include "light/cycle.h"

#include <cmath>
#include <numbers>

#include "common/log_stream.h"
#include "config/port_table.h"
#include "ipc/ipc_client.h"
#include "light/evaluation.h"

namespace qel {

namespace {

std::int32_t g_calls = 0;

// Queues one read and exchanges it; false with `result` set when either fails, or
// when the reply left the read unanswered: a value never read is never used, and
// a light word never read is never written back with bits made up.
bool Fetch(std::uint32_t offset, std::uint32_t size, void* destination, std::uint32_t* result) {
  if (!IpcRead(offset, size, destination, result) || !IpcProcess(result)) return false;
  if (IpcAnswered(destination)) return true;
  *result = IpcBadReply;
  return false;
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

// Nor when its longitude alone puts it out of range, which spares the full distance to
// ports on the aircraft's parallel. With dl reduced to at most 180 degrees,
//   1 - s = (1 - cos dphi) + cos p1 cos p2 (1 - cos dl) >= 2 cos p1 cos p2 sin^2(dl/2),
// cos p1 >= cos p2 - |dphi|, and sin x >= 2x/pi up to pi/2, so the angle is at least
// 2 sqrt(cos p1 cos p2) |dl| / pi. Near the poles, or for longitudes far beyond a
// turn, it gives up and leaves the port to the full test; the margins cover rounding
// and the reduction's turn of 2 x kPi instead of 2 pi.
bool SurelyOutOfRangeAlongParallel(const PortRecord& port, double latitude, double longitude,
                                   double cos_latitude) {
  constexpr double kRadiansPerDegree = kPi / 180.0;
  double dlon = port.longitude - longitude;
  if (!(std::fabs(dlon) <= 540.0)) return false;
  if (std::fabs(dlon) > 180.0) dlon = std::remainder(dlon, 360.0);
  const double port_cos_at_least =
      cos_latitude - std::fabs(port.latitude - latitude) * kRadiansPerDegree * (1.0 + 1e-9);
  if (!(port_cos_at_least > 1e-6 && cos_latitude > 1e-6)) return false;
  const double angle_at_least = 2.0 * std::sqrt(port_cos_at_least * cos_latitude) *
                                std::fabs(dlon) * kRadiansPerDegree / std::numbers::pi;
  return angle_at_least * (kEarthRadiusM / 1000.0) * (1.0 - 1e-6) - 1e-6 >=
         static_cast<double>(port.range);
}

// Nor when the double-precision distance puts it out of range by more than that
// reading's error could ever be (it is far below a nanometre; the margins are a
// millimetre and a part in 10^9). Ports this close to the edge of their range
// get the full reading.
bool SurelyOutOfRangeByScreening(const PortRecord& port, double latitude, double longitude) {
  double distance = ScreeningDistanceKm(port.latitude, port.longitude, latitude, longitude);
  return distance * (1.0 - 1e-9) - 1e-6 >= static_cast<double>(port.range);
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

  // Once per cycle, in the precision the distance uses.
  const double cos_latitude =
      static_cast<double>(std::cos(static_cast<long double>(latitude) * kPi / 180.0L));
  const PortTable& table = ThePortTable();
  for (std::int32_t i = 0; i < table.count; ++i) {
    const PortRecord& port = table.records[i];
    if (SurelyOutOfRange(port, latitude) ||
        SurelyOutOfRangeAlongParallel(port, latitude, longitude, cos_latitude) ||
        SurelyOutOfRangeByScreening(port, latitude, longitude)) {
      continue;
    }
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
