// Flight CSV reading: strict, so that a typo is reported with its line instead
// of flying a different scenario.
#include "qelsim/flight.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>

#include "light/evaluation.h"

namespace qel::sim {

namespace {

std::string Trim(std::string_view text) {
  std::size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return "";
  std::size_t end = text.find_last_not_of(" \t\r");
  return std::string(text.substr(begin, end - begin + 1));
}

std::vector<std::string> SplitCsv(std::string_view line) {
  std::vector<std::string> cells;
  std::size_t from = 0;
  for (;;) {
    std::size_t comma = line.find(',', from);
    cells.push_back(Trim(line.substr(from, comma - from)));
    if (comma == std::string_view::npos) return cells;
    from = comma + 1;
  }
}

bool ParseInt(const std::string& text, std::int64_t* value) {
  const char* begin = text.data();
  if (!text.empty() && text[0] == '+') ++begin;
  auto [end, ec] = std::from_chars(begin, text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && begin != end;
}

bool ParseReal(const std::string& text, double* value) {
  const char* begin = text.data();
  if (!text.empty() && text[0] == '+') ++begin;
  auto [end, ec] = std::from_chars(begin, text.data() + text.size(), *value,
                                   std::chars_format::fixed | std::chars_format::scientific);
  return ec == std::errc() && end == text.data() + text.size() && begin != end &&
         std::isfinite(*value);
}

bool ParseClock(const std::string& text, std::uint8_t clock[3]) {
  std::istringstream in(text);
  std::string part;
  int i = 0;
  while (std::getline(in, part, ':')) {
    std::int64_t value;
    if (i == 3 || !ParseInt(part, &value) || value < 0 || value > 255) return false;
    clock[i++] = static_cast<std::uint8_t>(value);
  }
  return i == 3;
}

const char* const kColumns[] = {"time",    "lat",    "lon",     "lat_raw",
                                "lon_raw", "vis_sm", "vis_raw", "clock"};

}  // namespace

std::int64_t LatitudeRaw(double degrees) {
  return static_cast<std::int64_t>(std::llround(static_cast<long double>(degrees) *
                                                static_cast<long double>(kLatitudeScale) / 90.0L));
}

std::int64_t LongitudeRaw(double degrees) {
  // A full turn is 2^64 units; +180 and -180 are the same meridian, the most negative value.
  long double units = std::round(static_cast<long double>(degrees) / 360.0L * 0x1p64L);
  if (units >= 0x1p63L) units -= 0x1p64L;
  return static_cast<std::int64_t>(units);
}

std::uint16_t VisibilityRaw(double statute_miles) {
  return static_cast<std::uint16_t>(std::lround(statute_miles * 100.0));
}

bool ParseFlight(const std::string& text, const std::string& name, Flight* flight,
                 std::string* error) {
  flight->rows.clear();
  std::istringstream in(text);
  std::string line;
  int line_number = 0;
  auto fail = [&](const std::string& what) {
    *error = name + ":" + std::to_string(line_number) + ": " + what;
    return false;
  };
  std::map<std::string, std::size_t> column;
  while (std::getline(in, line)) {
    ++line_number;
    if (Trim(line).empty()) continue;
    std::vector<std::string> cells = SplitCsv(line);
    if (column.empty()) {
      for (std::size_t i = 0; i < cells.size(); ++i) {
        if (std::find(std::begin(kColumns), std::end(kColumns), cells[i]) == std::end(kColumns))
          return fail("unknown column '" + cells[i] +
                      "' (known: time, lat, lon, lat_raw, lon_raw, vis_sm, vis_raw, clock)");
        if (!column.emplace(cells[i], i).second) return fail("column '" + cells[i] + "' twice");
      }
      if (!column.count("time")) return fail("no 'time' column");
      if (column.count("lat") + column.count("lat_raw") != 1)
        return fail("give the latitude once, as 'lat' or 'lat_raw'");
      if (column.count("lon") + column.count("lon_raw") != 1)
        return fail("give the longitude once, as 'lon' or 'lon_raw'");
      if (column.count("vis_sm") + column.count("vis_raw") != 1)
        return fail("give the visibility once, as 'vis_sm' or 'vis_raw'");
      continue;
    }
    if (cells.size() != column.size())
      return fail("expected " + std::to_string(column.size()) + " fields, found " +
                  std::to_string(cells.size()));
    FlightRow row;
    auto cell = [&](const char* key) { return cells[column.at(key)]; };
    if (!ParseInt(cell("time"), &row.time) || row.time < 0)
      return fail("time '" + cell("time") + "' is not a whole number of seconds from 0");
    if (!flight->rows.empty() && row.time <= flight->rows.back().time)
      return fail("time " + std::to_string(row.time) + " does not increase");
    double value;
    if (column.count("lat")) {
      if (!ParseReal(cell("lat"), &value) || value < -90 || value > 90)
        return fail("lat '" + cell("lat") + "' is not a latitude from -90 to 90");
      row.latitude_raw = LatitudeRaw(value);
    } else if (!ParseInt(cell("lat_raw"), &row.latitude_raw)) {
      return fail("lat_raw '" + cell("lat_raw") + "' is not a signed 64-bit number");
    }
    if (column.count("lon")) {
      if (!ParseReal(cell("lon"), &value) || value < -180 || value > 180)
        return fail("lon '" + cell("lon") + "' is not a longitude from -180 to 180");
      row.longitude_raw = LongitudeRaw(value);
    } else if (!ParseInt(cell("lon_raw"), &row.longitude_raw)) {
      return fail("lon_raw '" + cell("lon_raw") + "' is not a signed 64-bit number");
    }
    if (column.count("vis_sm")) {
      if (!ParseReal(cell("vis_sm"), &value) || value < 0 || value > 655.35)
        return fail("vis_sm '" + cell("vis_sm") + "' is not a visibility from 0 to 655.35");
      row.visibility_raw = VisibilityRaw(value);
    } else {
      std::int64_t raw;
      if (!ParseInt(cell("vis_raw"), &raw) || raw < 0 || raw > 65535)
        return fail("vis_raw '" + cell("vis_raw") + "' is not a number from 0 to 65535");
      row.visibility_raw = static_cast<std::uint16_t>(raw);
    }
    if (column.count("clock")) {
      if (!ParseClock(cell("clock"), row.clock))
        return fail("clock '" + cell("clock") + "' is not H:M:S with numbers from 0 to 255");
      row.has_clock = true;
    }
    flight->rows.push_back(row);
  }
  if (column.empty()) return fail("empty file: the first line must name the columns");
  if (flight->rows.empty()) return fail("no rows after the column names");
  return true;
}

bool LoadFlight(const std::string& path, Flight* flight, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot open the flight file";
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseFlight(text, path, flight, error);
}

FlightState StateAt(const Flight& flight, std::int64_t second) {
  auto after = std::upper_bound(flight.rows.begin(), flight.rows.end(), second,
                                [](std::int64_t t, const FlightRow& row) { return t < row.time; });
  const FlightRow& row = after == flight.rows.begin() ? flight.rows.front() : *(after - 1);
  FlightState state{};
  state.visibility_raw = row.visibility_raw;
  state.latitude_raw = row.latitude_raw;
  state.longitude_raw = row.longitude_raw;
  if (row.has_clock) {
    std::copy(row.clock, row.clock + 3, state.clock);
  } else {
    std::int64_t day_second = (12 * 3600 + second) % 86400;
    state.clock[0] = static_cast<std::uint8_t>(day_second / 3600);
    state.clock[1] = static_cast<std::uint8_t>(day_second / 60 % 60);
    state.clock[2] = static_cast<std::uint8_t>(day_second % 60);
  }
  return state;
}

}  // namespace qel::sim
