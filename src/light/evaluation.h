// The arithmetic of light control: simulator units to km and degrees, the
// great-circle distance from a port, and the two decisions taken per port.
#pragma once

#include <cstdint>

#include "config/port_table.h"

namespace qel {

constexpr double kPi = 3.14159265358979;  // the decimal constant pilots' ranges were set against
constexpr double kEarthRadiusM = 6372795.0;
constexpr std::uint32_t kMetresPerMile = 1609;  // whole metres: thresholds were set against it
constexpr double kLatitudeScale = 42957189152768000.0;     // 10001750 * 65536 * 65536
constexpr double kLongitudeScale = 5.421010862427522e-20;  // 2 to the power -64

// Raw hundredths of a statute mile, cut to whole miles, in km.
double VisibilityKm(std::uint16_t raw);
double LatitudeDeg(std::int64_t raw);
double LongitudeDeg(std::int64_t raw);
// Great-circle distance in km on a sphere of radius kEarthRadiusM; the port's
// position first, the aircraft's second.
double DistanceKm(double lat1, double lon1, double lat2, double lon2);
// The same distance in double precision alone: several times cheaper, and within
// a millionth of a millimetre of DistanceKm away from not-a-number inputs. For
// turning away ports that are clearly out of range, never for a decision at the edge.
double ScreeningDistanceKm(double lat1, double lon1, double lat2, double lon2);
bool InRange(const PortRecord& port, double distance);
bool LightsOn(const PortRecord& port, double visibility);

}  // namespace qel
