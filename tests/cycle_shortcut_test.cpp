// The cycle's quick out-of-range tests must never turn away a port that the full
// distance puts in range: ports laid on both sides of their range's edge, all round
// the aircraft, at the poles and across the antimeridian.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "light/evaluation.h"
#include "qelsim/flight.h"
#include "support/module_fixture.h"

namespace qel {
namespace {

class CycleShortcutTest : public test::ModuleFixture {};

struct Place {
  double latitude;
  double longitude;
};

TEST_F(CycleShortcutTest, DecidesAsTheFullDistanceDoes) {
  std::mt19937_64 random(20240611);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const Place aircraft_places[] = {{55.97, 37.41}, {0.0, 0.0},     {-45.5, 179.95},
                                   {89.5, -120.0}, {-89.99, 10.0}, {12.0, -179.99}};
  bool started_once = false;
  for (const Place& place : aircraft_places) {
    // Where the module will find the aircraft after the raw round trip.
    const double latitude = LatitudeDeg(sim::LatitudeRaw(place.latitude));
    const double longitude = LongitudeDeg(sim::LongitudeRaw(place.longitude));
    std::string ini;
    std::vector<PortRecord> ports;
    for (int i = 0; i < 400; ++i) {
      PortRecord port{};
      const double spread = i % 4 == 0 ? 0.01 : i % 4 == 1 ? 1.0 : i % 4 == 2 ? 10.0 : 90.0;
      port.latitude = std::clamp(latitude + spread * (2 * unit(random) - 1), -90.0, 90.0);
      if (i % 5 == 0) port.latitude = latitude;  // on the aircraft's parallel
      port.longitude = longitude + std::min(spread * 4, 180.0) * (2 * unit(random) - 1);
      if (i % 7 == 0) port.longitude += i % 2 == 0 ? 360.0 : -360.0;  // written a turn away
      const double distance = DistanceKm(port.latitude, port.longitude, latitude, longitude);
      // The range right at the distance, one float step either side, or anywhere.
      float range = static_cast<float>(distance);
      if (i % 3 == 0) range = std::nextafter(range, 0.0f);
      if (i % 3 == 1) range = std::nextafter(range, 1e9f);
      if (i % 11 == 0) range = static_cast<float>(3000 * unit(random));
      port.range = range;
      ports.push_back(port);
      char line[100];
      std::snprintf(line, sizeof line, "%.17g;%.17g;5;%.9g;P\n", port.latitude, port.longitude,
                    static_cast<double>(port.range));
      ini += line;
    }
    std::set<int> expected;
    for (std::size_t i = 0; i < ports.size(); ++i) {
      const PortRecord& port = ports[i];
      if (InRange(port, DistanceKm(port.latitude, port.longitude, latitude, longitude))) {
        expected.insert(static_cast<int>(i) + 1);
      }
    }

    if (started_once) Stop();
    Start(ini.c_str());
    started_once = true;
    Fly(place.latitude, place.longitude, 100);
    Tick(16);
    std::set<int> acted_on;
    const std::string log = Log();
    const std::regex line(R"(LIGHTS O(N|FF): Port (\d+),)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
         ++it) {
      acted_on.insert(std::stoi((*it)[2].str()));
    }
    EXPECT_EQ(acted_on, expected) << "aircraft at " << place.latitude << ", " << place.longitude;
    EXPECT_FALSE(expected.empty());
  }
}

}  // namespace
}  // namespace qel
