// What a dry run leaves for the pilot to look at: the ports as the module holds
// them, the flight's track second by second and where the light bit switched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/port_table.h"

namespace qel::sim {

struct TrackPoint {
  int second;            // host event number, 1-based
  double latitude;       // degrees, as the module converts the server's raw value
  double longitude;      // degrees
  double visibility_km;  // as the module converts it
  bool light_on;         // bit 15 of the light word after this second's event
};

struct SwitchMark {
  int second;
  double latitude;
  double longitude;
  double visibility_km;
  bool on;  // the bit after the switch
};

struct DryRun {
  std::vector<PortRecord> ports;  // in file order; port numbers are 1-based positions
  std::vector<TrackPoint> track;
  std::vector<SwitchMark> switches;
};

}  // namespace qel::sim
