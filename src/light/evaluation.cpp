// Conversions and distance in extended precision, rounded to double once at the end.
#include "light/evaluation.h"

#include <cfloat>
#include <cmath>

namespace qel {

// A raw 64-bit position must enter its multiplication unrounded.
static_assert(LDBL_MANT_DIG >= 64, "long double must hold a 64-bit integer exactly");

using Wide = long double;

double VisibilityKm(std::uint16_t raw) {
  std::uint32_t miles = raw / 100u;
  std::int32_t metres = static_cast<std::int32_t>(miles * kMetresPerMile);
  return static_cast<double>(metres) / 1000.0;
}

double LatitudeDeg(std::int64_t raw) {
  return static_cast<double>(static_cast<Wide>(raw) * 90.0L / static_cast<Wide>(kLatitudeScale));
}

double LongitudeDeg(std::int64_t raw) {
  return static_cast<double>(static_cast<Wide>(raw) * 360.0L * static_cast<Wide>(kLongitudeScale));
}

namespace {

Wide Radians(Wide degrees) {
  return degrees * static_cast<Wide>(kPi) / 180.0L;
}

}  // namespace

double DistanceKm(double lat1, double lon1, double lat2, double lon2) {
  // The law of cosines, s = sin p1 sin p2 + cos p1 cos p2 cos dl, evaluated in a
  // form that keeps its precision: the differences of the two positions are
  // taken before they are scaled to radians (so nearby points keep all their
  // digits), 1 - cos dl is written as 2 sin^2(dl/2), and the arc cosine of s is
  // taken as atan2 of the same angle's sine and s. That last step stays exact
  // where s is close to 1 or -1 and can never leave arccos's domain, so
  // coincident points are 0 km apart instead of not a number.
  Wide phi1 = Radians(lat1);
  Wide phi2 = Radians(lat2);
  Wide dphi = Radians(static_cast<Wide>(lat2) - static_cast<Wide>(lat1));
  Wide dlambda = Radians(static_cast<Wide>(lon2) - static_cast<Wide>(lon1));
  Wide sin1 = std::sin(phi1), cos1 = std::cos(phi1);
  Wide cos2 = std::cos(phi2);
  Wide half = std::sin(dlambda / 2);
  Wide versine = 2 * half * half;  // 1 - cos dl
  Wide east = cos2 * std::sin(dlambda);
  Wide north = std::sin(dphi) + sin1 * cos2 * versine;
  Wide cosine = std::cos(dphi) - cos1 * cos2 * versine;
  Wide angle = std::atan2(std::sqrt(east * east + north * north), cosine);
  return static_cast<double>(angle * static_cast<Wide>(kEarthRadiusM) / 1000.0L);
}

bool InRange(const PortRecord& port, double distance) {
  return distance < static_cast<double>(port.range);
}

bool LightsOn(const PortRecord& port, double visibility) {
  return visibility < static_cast<double>(port.threshold);
}

}  // namespace qel
