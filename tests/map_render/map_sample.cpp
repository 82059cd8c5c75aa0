// Writes the dry-run map of a short made-up flight, for the browser to render:
// two ports, the light switched on and off again between them.
#include <cstdio>
#include <cstring>
#include <string>

#include "qelsim/svg_map.h"

namespace {

qel::PortRecord Port(double latitude, double longitude, float threshold, float range,
                     const char* label) {
  qel::PortRecord port{};
  port.latitude = latitude;
  port.longitude = longitude;
  port.threshold = threshold;
  port.range = range;
  std::strncpy(port.label, label, 4);
  return port;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s MAP.svg\n", argv[0]);
    return 2;
  }
  qel::sim::DryRun run;
  run.ports = {Port(55.97, 37.41, 5, 30, "UUEE"), Port(55.41, 37.90, 3, 25, "UUDD")};
  bool was_on = false;
  for (int second = 1; second <= 480; ++second) {
    double latitude = 56.40 - 0.0025 * second;
    double longitude = 37.20 + 0.0016 * second;
    bool on = second >= 112 && second < 320;
    double visibility = on ? 3.218 : 8.045;
    run.track.push_back({second, latitude, longitude, visibility, on});
    if (on != was_on) run.switches.push_back({second, latitude, longitude, visibility, on});
    was_on = on;
  }
  std::string error;
  if (!qel::sim::WriteSvgMap(argv[1], run, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
