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

template <typename Real>
Real Radians(Real degrees) {
  return degrees * static_cast<Real>(kPi) / static_cast<Real>(180);
}

// The law of cosines, s = sin p1 sin p2 + cos p1 cos p2 cos dl, evaluated in a
// form that keeps its precision: the differences of the two positions are taken
// before they are scaled to radians (so nearby points keep all their digits),
// 1 - cos dl is written as 2 sin^2(dl/2), and the arc cosine of s is taken as
// atan2 of the same angle's sine and s. That last step stays exact where s is
// close to 1 or -1 and can never leave arccos's domain, so coincident points are
// 0 km apart instead of not a number.
template <typename Real>
Real Distance(double lat1, double lon1, double lat2, double lon2) {
  Real phi1 = Radians<Real>(lat1);
  Real phi2 = Radians<Real>(lat2);
  Real dphi = Radians(static_cast<Real>(lat2) - static_cast<Real>(lat1));
  Real dlambda = Radians(static_cast<Real>(lon2) - static_cast<Real>(lon1));
  Real sin1 = std::sin(phi1), cos1 = std::cos(phi1);
  Real cos2 = std::cos(phi2);
  Real half = std::sin(dlambda / 2);
  Real versine = 2 * half * half;  // 1 - cos dl
  Real east = cos2 * std::sin(dlambda);
  Real north = std::sin(dphi) + sin1 * cos2 * versine;
  Real cosine = std::cos(dphi) - cos1 * cos2 * versine;
  Real angle = std::atan2(std::sqrt(east * east + north * north), cosine);
  return angle * static_cast<Real>(kEarthRadiusM) / static_cast<Real>(1000);
}

}  // namespace

double DistanceKm(double lat1, double lon1, double lat2, double lon2) {
  return static_cast<double>(Distance<Wide>(lat1, lon1, lat2, lon2));
}

double ScreeningDistanceKm(double lat1, double lon1, double lat2, double lon2) {
  return Distance<double>(lat1, lon1, lat2, lon2);
}

bool InRange(const PortRecord& port, double distance) {
  return distance < static_cast<double>(port.range);
}

bool LightsOn(const PortRecord& port, double visibility) {
  return visibility < static_cast<double>(port.threshold);
}

}  // namespace qel
