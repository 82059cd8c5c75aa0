// A flight scenario for the dry run: the simulator's state over time, read from
// a CSV file whose first line names its columns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel::sim {

struct FlightRow {
  std::int64_t time = 0;  // whole seconds from the start
  std::int64_t latitude_raw = 0;
  std::int64_t longitude_raw = 0;
  std::uint16_t visibility_raw = 0;
  bool has_clock = false;
  std::uint8_t clock[3] = {0, 0, 0};
};

struct Flight {
  std::vector<FlightRow> rows;  // time strictly increasing
};

// What the server holds at one second.
struct FlightState {
  std::uint8_t clock[3];
  std::uint16_t visibility_raw;
  std::int64_t latitude_raw;
  std::int64_t longitude_raw;
};

// Parses CSV text; on failure returns false with `error` naming `name` and the line.
bool ParseFlight(const std::string& text, const std::string& name, Flight* flight,
                 std::string* error);
bool LoadFlight(const std::string& path, Flight* flight, std::string* error);

// The state of the last row whose time is at most `second` (the first row before
// it). Without a clock column the clock reads 12:00:00 at second 0 and runs with
// time; a given clock holds until the next row.
FlightState StateAt(const Flight& flight, std::int64_t second);

// Degrees and statute miles in the server's raw units.
std::int64_t LatitudeRaw(double degrees);
std::int64_t LongitudeRaw(double degrees);
std::uint16_t VisibilityRaw(double statute_miles);

}  // namespace qel::sim
