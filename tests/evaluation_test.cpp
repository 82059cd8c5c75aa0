// Port evaluation: unit conversions, the distance, and the two per-port decisions.
#include "light/evaluation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#if defined(__x86_64__) && defined(__linux__)
#include <quadmath.h>
#define QEL_HAVE_QUAD 1
#endif

namespace qel {
namespace {

PortRecord Port(float threshold, float range) {
  PortRecord port{};
  port.threshold = threshold;
  port.range = range;
  return port;
}

TEST(Visibility, IsCutToWholeMilesOf1609Metres) {
  struct Case {
    std::uint16_t raw;
    double km;
  } cases[] = {{0, 0.0},     {99, 0.0},    {100, 1.609},     {199, 1.609},
               {250, 3.218}, {300, 4.827}, {65535, 1053.895}};
  for (const Case& c : cases) EXPECT_EQ(VisibilityKm(c.raw), c.km) << c.raw;
}

TEST(Position, ConversionsHitTheirScalePoints) {
  const std::int64_t full = 42957189152768000;
  EXPECT_EQ(LatitudeDeg(full), 90.0);
  EXPECT_EQ(LatitudeDeg(-full), -90.0);
  EXPECT_EQ(LatitudeDeg(0), 0.0);
  EXPECT_EQ(LongitudeDeg(std::int64_t{1} << 62), 90.0);
  EXPECT_EQ(LongitudeDeg(std::numeric_limits<std::int64_t>::min()), -180.0);
  EXPECT_EQ(kLongitudeScale, std::ldexp(1.0, -64));
}

TEST(Position, RawValuesEnterUnrounded) {
  // 2^62 + 1 is no double; rounded first it would give exactly 90 degrees.
  std::int64_t raw = (std::int64_t{1} << 62) + 1;
  EXPECT_EQ(LongitudeDeg(raw), 90.0);  // the odd unit is far below a double's resolution here
  // Near zero the low bits are all that count.
  EXPECT_EQ(LongitudeDeg(1), 360.0 * std::ldexp(1.0, -64));
  std::int64_t big = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(LongitudeDeg(big), 180.0);  // 180 less 2e-17 rounds to 180
  EXPECT_EQ(LongitudeDeg(-(std::int64_t{1} << 53) - 1), -360.0 * 0x1.0000000000001p-11);
}

TEST(Distance, MatchesTheKnownArcs) {
  EXPECT_NEAR(DistanceKm(10.0, 20.0, 11.0, 20.0), 111.226, 0.0005);
  EXPECT_NEAR(DistanceKm(0.0, 0.0, 0.0, 1.0), 111.226, 0.0005);
  EXPECT_NEAR(DistanceKm(0.0, 0.0, 0.0, 0.5), 55.613, 0.0005);
  EXPECT_NEAR(DistanceKm(0.0, 0.0, 0.0, 180.0), 6372.795 * kPi, 1e-9);
}

TEST(Distance, CoincidentPointsAreZeroApartAndInRange) {
  const double points[][2] = {{55.97, 37.41}, {0, 0}, {-33.9461, 151.1772}, {89.9999, -179.5}};
  for (const auto& p : points) {
    double d = DistanceKm(p[0], p[1], p[0], p[1]);
    EXPECT_EQ(d, 0.0) << p[0] << "," << p[1];
    EXPECT_TRUE(InRange(Port(5, 0.001f), d));
    EXPECT_FALSE(InRange(Port(5, 0.0f), d));
  }
}

TEST(Distance, NotANumberInputsAreNeverInRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double bad : {nan, inf, -inf}) {
    double d = DistanceKm(bad, 0, 0, 0);
    EXPECT_TRUE(std::isnan(d));
    EXPECT_FALSE(InRange(Port(5, 1e30f), d));
    EXPECT_FALSE(InRange(Port(5, INFINITY), DistanceKm(0, 0, 0, bad)));
  }
}

TEST(Decisions, AreStrictComparisonsWithWidenedFloats) {
  // A port at exactly its range is out of range; a visibility at the threshold is lights off.
  PortRecord port = Port(3.218f, 111.226f);
  EXPECT_FALSE(InRange(port, static_cast<double>(111.226f)));
  EXPECT_TRUE(InRange(port, std::nextafter(static_cast<double>(111.226f), 0.0)));
  EXPECT_FALSE(LightsOn(port, static_cast<double>(3.218f)));
  // 3.218 as a double lies above 3.218f: the narrowed threshold decides.
  EXPECT_FALSE(LightsOn(port, 3.218));
  EXPECT_TRUE(LightsOn(Port(5.0f, 1), VisibilityKm(250)));
  EXPECT_FALSE(LightsOn(Port(3.0f, 1), VisibilityKm(250)));
  EXPECT_FALSE(LightsOn(port, std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(LightsOn(Port(0.0f, 1), 0.0));
}

TEST(Distance, TheScreeningReadingStaysFarInsideItsMargins) {
  // The cycle turns a port away when the double-precision reading exceeds its
  // range by a millimetre and a part in 10^9; the reading must never be off by that.
  std::mt19937_64 random(99);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180), offset(-2, 2);
  for (int i = 0; i < 50000; ++i) {
    double a = lat(random), b = lon(random);
    double c = i % 2 ? lat(random) : std::clamp(a + offset(random), -90.0, 90.0);
    double d = i % 2 ? lon(random) : b + offset(random);
    double full = DistanceKm(a, b, c, d);
    double quick = ScreeningDistanceKm(a, b, c, d);
    ASSERT_LE(std::fabs(full - quick), 1e-9 * full + 1e-8) << a << "," << b << " " << c << "," << d;
  }
}

#if QEL_HAVE_QUAD
double Ulps(double value, double exact) {
  double ulp = std::nextafter(std::fabs(exact), INFINITY) - std::fabs(exact);
  return std::fabs(value - exact) / ulp;
}

// The same law of cosines evaluated with 113-bit precision.
double ExactDistance(double lat1, double lon1, double lat2, double lon2) {
  __float128 pi = kPi;
  __float128 p1 = lat1 * pi / 180, p2 = lat2 * pi / 180;
  __float128 dl = (__float128)lon2 * pi / 180 - (__float128)lon1 * pi / 180;
  __float128 s = sinq(p1) * sinq(p2) + cosq(p1) * cosq(p2) * cosq(dl);
  if (s > 1) s = 1;
  if (s < -1) s = -1;
  return static_cast<double>(acosq(s) * (__float128)kEarthRadiusM / 1000);
}

TEST(Distance, AgreesWithAnExactReference) {
  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> lat(-89.9, 89.9), lon(-180, 180), exponent(-5, 1.5);
  double worst = 0;
  for (int i = 0; i < 20000; ++i) {
    double a = lat(random), b = lon(random), c, d;
    switch (i % 3) {
      case 0:  // anywhere
        c = lat(random), d = lon(random);
        break;
      case 1:  // close by: from a few metres to tens of km
        c = a + std::pow(10.0, exponent(random)) * (random() % 2 ? 1 : -1);
        d = b + std::pow(10.0, exponent(random)) * (random() % 2 ? 1 : -1);
        break;
      default:  // near the antipode
        c = -a + std::pow(10.0, exponent(random)), d = b + 180 - std::pow(10.0, exponent(random));
        break;
    }
    double exact = ExactDistance(a, b, c, d);
    double ulps = Ulps(DistanceKm(a, b, c, d), exact);
    worst = std::max(worst, ulps);
    ASSERT_LE(ulps, 4.0) << a << "," << b << " to " << c << "," << d;
  }
  RecordProperty("worst_ulps", std::to_string(worst));
}

TEST(Position, ConversionsAgreeWithExactArithmetic) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    std::int64_t raw = static_cast<std::int64_t>(random()) >> (random() % 60);
    __float128 q = raw;  // exact: 113 bits hold any 64-bit integer
    double lat = static_cast<double>(q * 90 / (__float128)kLatitudeScale);
    double lon = static_cast<double>(q * 360 * (__float128)kLongitudeScale);
    if (lat != 0) {
      ASSERT_LE(Ulps(LatitudeDeg(raw), lat), 1.0) << raw;
    }
    if (lon != 0) {
      ASSERT_LE(Ulps(LongitudeDeg(raw), lon), 1.0) << raw;
    }
  }
}
#endif

}  // namespace
}  // namespace qel
