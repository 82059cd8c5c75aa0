// qelsim, the dry-run host: it plays the simulator for the module. It loads the
// module library, fills in the host tables, starts the module, raises the
// once-per-second event while a stand-in IPC server flies a scenario, stops the
// module and reports what the module did to the light word.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/text_file.h"
#include "config/port_table.h"
#include "light/cycle.h"
#include "light/evaluation.h"
#include "qelsim/check.h"
#include "qelsim/dry_run.h"
#include "qelsim/flight.h"
#include "qelsim/host.h"
#include "qelsim/platform.h"
#include "qelsim/svg_map.h"
#include "server/server.h"

namespace qel::sim {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = R"(usage: qelsim [options]
Plays the flight simulator for the Qelmarin module: loads it, starts it, raises
the once-per-second event while a stand-in IPC server flies a scenario, stops it,
and prints what the module did to the light word.

  --ini FILE|none          port list copied to DIR/modules/Qel.ini before the start;
                           'none' runs without one. Default: DIR's own, else the
                           bundled example.
  --flight FILE            flight CSV (columns: time, lat/lon or lat_raw/lon_raw,
                           vis_sm or vis_raw, optional clock). Default: the bundled example.
  --dir DIR                the simulator's directory (default: a new temporary one)
  --seconds N              host events to raise (default: the flight's last time + 16)
  --light-word HEX         the light word at the start (default 0)
  --server uipc|fs98|none  the server window's class: UIPCMAIN, FS98MAIN, or no window
  --server-version HEX     the word at 0x3304 (default 19980005)
  --sim-version HEX        the word at 0x3308 (default FADE0009)
  --ignore-messages FROM-TO  leave the server's IPC requests FROM to TO unanswered
  --module PATH            the module library (default: beside qelsim)
  --map FILE.svg           draw the run as an SVG map
  --check FILE             explain a port list as the module reads it, and exit:
                           0 usable, 1 usable with warnings, 2 unreadable
  --verbose                also print the host-table calls the module made
  --help                   this text
The last line of a run is 'final light word: 0xHHHH'. Bad input exits with status 2.
)";

struct Options {
  std::optional<std::string> ini;  // a file, or "none"
  std::optional<std::string> flight;
  std::optional<std::string> dir;
  std::optional<std::int64_t> seconds;
  std::uint16_t light_word = 0;
  ServerSettings server;
  std::optional<std::string> module;
  std::optional<std::string> map;
  std::optional<std::string> check;
  bool verbose = false;
  bool help = false;
};

bool ParseHex(const std::string& text, std::uint64_t limit, std::uint64_t* value) {
  std::string digits = text;
  if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 16 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  *value = std::stoull(digits, nullptr, 16);
  return *value <= limit;
}

bool ParseCount(const std::string& text, std::uint64_t* value) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::stoull(text);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::optional<std::string> inline_value;
    if (std::size_t equals = name.find('=');
        name.rfind("--", 0) == 0 && equals != std::string::npos) {
      inline_value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    auto value = [&](std::string* out) {
      if (inline_value) {
        *out = *inline_value;
        return true;
      }
      if (i + 1 >= argc) {
        *error = name + ": needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto bad = [&](const std::string& text, const char* what) {
      *error = name + " " + text + ": " + what;
      return false;
    };
    std::string text;
    std::uint64_t number = 0;
    if (name == "--help" || name == "-h") {
      options->help = true;
    } else if (name == "--verbose") {
      options->verbose = true;
    } else if (name == "--ini" || name == "--flight" || name == "--dir" || name == "--module" ||
               name == "--map" || name == "--check") {
      if (!value(&text)) return false;
      if (text.empty()) return bad(text, "needs a non-empty value");
      std::optional<std::string>* slot = name == "--ini"      ? &options->ini
                                         : name == "--flight" ? &options->flight
                                         : name == "--dir"    ? &options->dir
                                         : name == "--module" ? &options->module
                                         : name == "--map"    ? &options->map
                                                              : &options->check;
      *slot = text;
    } else if (name == "--seconds") {
      if (!value(&text)) return false;
      if (!ParseCount(text, &number) || number > 100000000)
        return bad(text, "is not a whole number of seconds (0 to 100000000)");
      options->seconds = static_cast<std::int64_t>(number);
    } else if (name == "--light-word") {
      if (!value(&text)) return false;
      if (!ParseHex(text, 0xFFFF, &number)) return bad(text, "is not a hexadecimal 16-bit word");
      options->light_word = static_cast<std::uint16_t>(number);
    } else if (name == "--server") {
      if (!value(&text)) return false;
      if (text == "uipc")
        options->server.kind = ServerKind::kIpcServer;
      else if (text == "fs98")
        options->server.kind = ServerKind::kNetworkClient;
      else if (text == "none")
        options->server.kind = ServerKind::kNone;
      else
        return bad(text, "is not one of uipc, fs98, none");
    } else if (name == "--server-version" || name == "--sim-version") {
      if (!value(&text)) return false;
      if (!ParseHex(text, 0xFFFFFFFF, &number))
        return bad(text, "is not a hexadecimal 32-bit word");
      (name == "--server-version" ? options->server.server_version : options->server.sim_version) =
          static_cast<std::uint32_t>(number);
    } else if (name == "--ignore-messages") {
      if (!value(&text)) return false;
      std::size_t dash = text.find('-');
      std::uint64_t from = 0, to = 0;
      if (dash == std::string::npos || !ParseCount(text.substr(0, dash), &from) ||
          !ParseCount(text.substr(dash + 1), &to) || from < 1 || to < from || to > 0xFFFFFFFF)
        return bad(text, "is not a range FROM-TO of request numbers from 1");
      options->server.ignore_from = static_cast<std::uint32_t>(from);
      options->server.ignore_to = static_cast<std::uint32_t>(to);
    } else {
      *error = name + ": unknown option (see --help)";
      return false;
    }
  }
  return true;
}

// A bundled example: beside the executable once installed, else in the source tree.
std::string BundledExample(const char* name) {
  fs::path beside = fs::path(ExecutableDir()) / "examples" / name;
  if (fs::exists(beside)) return beside.string();
  return (fs::path(QEL_EXAMPLES_DIR) / name).string();
}

bool ReadableFile(const std::string& path, const char* what, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot read the " + what;
    return false;
  }
  return true;
}

std::string MakeTempDir() {
  std::random_device entropy;
  fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path candidate = base / ("qelsim-" + std::to_string(entropy() % 100000000));
    if (fs::create_directory(candidate)) return candidate.string();
  }
}

std::string Hex4(std::uint16_t word) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", word);
  return text;
}

// The ports as the module reads them, for the map.
std::vector<PortRecord> ReadPorts() {
  std::vector<PortRecord> ports;
  std::FILE* file = std::fopen(kPortFilePath, "rb");
  if (file == nullptr) return ports;
  LineCursor cursor(file);
  std::string_view line;
  PortFields fields;
  while (cursor.Next(&line)) {
    if (SplitPortLine(line, &fields)) ports.push_back(MakePortRecord(fields));
  }
  std::fclose(file);
  return ports;
}

// What one event's cycle wrote to the log, told in a line.
std::string DescribeCycle(const std::string& written) {
  std::string actions, failures;
  std::istringstream lines(written);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    int port = 0;
    if (std::sscanf(line.c_str(), "LIGHTS ON: Port %d", &port) == 1) {
      actions +=
          (actions.empty() ? "" : ", ") + std::string("port ") + std::to_string(port) + " ON";
    } else if (std::sscanf(line.c_str(), "LIGHTS OFF: Port %d", &port) == 1) {
      actions +=
          (actions.empty() ? "" : ", ") + std::string("port ") + std::to_string(port) + " OFF";
    } else {
      std::size_t failed = line.find("failed: ");
      std::size_t unopened = line.find("QEL module IPC server not opened !");
      if (failed != std::string::npos) {
        std::size_t start = line.rfind("Request for", failed);
        failures += "; " + line.substr(start == std::string::npos ? 0 : start);
      } else if (unopened != std::string::npos) {
        failures += "; " + line.substr(unopened);
      }
    }
  }
  return (actions.empty() ? "no port in range" : actions) + failures;
}

class LogFollower {
 public:
  // What was appended since the last call.
  std::string Take() {
    std::ifstream in(kLogPath, std::ios::binary);
    if (!in) return "";
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < offset_) offset_ = 0;  // emptied by a new start
    if (size == offset_) return "";
    in.seekg(offset_);
    std::string text(static_cast<std::size_t>(size - offset_), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    offset_ = size;
    return text;
  }

 private:
  std::streamoff offset_ = 0;
};

int Run(const Options& options) {
  std::string error;
  // Everything the run needs is checked before the module is touched.
  Flight flight;
  std::string flight_path = options.flight.value_or(BundledExample("flight.csv"));
  if (!LoadFlight(flight_path, &flight, &error)) {
    std::cerr << "qelsim: " << error << "\n";
    return 2;
  }
  std::optional<std::string> ini_source;
  bool no_ini = options.ini && *options.ini == "none";
  if (options.ini && !no_ini) {
    ini_source = fs::absolute(*options.ini).string();
    if (!ReadableFile(*ini_source, "port list", &error)) {
      std::cerr << "qelsim: " << error << "\n";
      return 2;
    }
  }
  std::string module_path =
      options.module.value_or((fs::path(ExecutableDir()) / kModuleFileName).string());
  module_path = fs::absolute(module_path).string();
  if (!ReadableFile(module_path, "module library", &error)) {
    std::cerr << "qelsim: " << error << "\n";
    return 2;
  }
  std::optional<std::string> map_path;
  if (options.map) map_path = fs::absolute(*options.map).string();

  std::string dir = options.dir.value_or("");
  std::error_code fs_error;
  if (dir.empty()) {
    dir = MakeTempDir();
    std::cout << "simulator directory: " << dir << "\n";
  }
  fs::create_directories(fs::path(dir) / "modules", fs_error);
  if (fs_error) {
    std::cerr << "qelsim: --dir " << dir
              << ": cannot create its modules folder: " << fs_error.message() << "\n";
    return 2;
  }
  fs::path ini_target = fs::path(dir) / "modules" / "Qel.ini";
  if (no_ini) {
    fs::remove(ini_target, fs_error);
  } else if (ini_source || !fs::exists(ini_target)) {
    std::string source = ini_source.value_or(BundledExample("Qel.ini"));
    if (fs::absolute(source) != fs::absolute(ini_target))
      fs::copy_file(source, ini_target, fs::copy_options::overwrite_existing, fs_error);
    if (fs_error) {
      std::cerr << "qelsim: " << source << ": cannot copy it to " << ini_target.string() << ": "
                << fs_error.message() << "\n";
      return 2;
    }
  }
  fs::current_path(dir, fs_error);
  if (fs_error) {
    std::cerr << "qelsim: --dir " << dir << ": " << fs_error.message() << "\n";
    return 2;
  }

  std::unique_ptr<ServerLink> server = StartServer(options.server, &error);
  if (server == nullptr) {
    std::cerr << "qelsim: " << error << "\n";
    return 1;
  }
  auto send_state = [&](std::int64_t second, std::optional<std::uint16_t> light_word) {
    FlightState state = StateAt(flight, second);
    server::SimState sim;
    sim.hour = state.clock[0];
    sim.minute = state.clock[1];
    sim.second = state.clock[2];
    sim.visibility_raw = state.visibility_raw;
    sim.latitude_raw = state.latitude_raw;
    sim.longitude_raw = state.longitude_raw;
    sim.light_word = light_word;
    if (server->window() != nullptr) server::ServerSendState(server->window(), sim);
    return state;
  };
  std::uint16_t light_word = options.light_word;
  auto query_light = [&]() {
    if (server->window() != nullptr) {
      if (auto word = server::ServerQueryLightWord(server->window())) light_word = *word;
    }
    return light_word;
  };
  send_state(0, options.light_word);

  ModuleLibrary library;
  if (!LoadModuleLibrary(module_path, &library, &error)) {
    std::cerr << "qelsim: " << error << "\n";
    return 2;
  }
  AttachHost(library.import_table);
  library.linkage->start();

  DryRun run;
  run.ports = ReadPorts();
  LogFollower log;
  log.Take();
  std::int64_t seconds = options.seconds.value_or(flight.rows.back().time + 16);
  bool previous_on = (options.light_word & kLightBit) != 0;
  for (std::int64_t k = 1; k <= seconds; ++k) {
    FlightState state = send_state(k, std::nullopt);
    std::uint16_t before = query_light();
    RaiseHostEvent(kEventTick);
    std::uint16_t after = query_light();
    std::string written = log.Take();
    if (!written.empty()) {
      std::cout << "second " << k << ": light word " << Hex4(before) << " -> " << Hex4(after)
                << "; " << DescribeCycle(written) << "\n";
    }
    TrackPoint point{static_cast<int>(k), LatitudeDeg(state.latitude_raw),
                     LongitudeDeg(state.longitude_raw), VisibilityKm(state.visibility_raw),
                     (after & kLightBit) != 0};
    if (point.light_on != previous_on) {
      run.switches.push_back(
          {point.second, point.latitude, point.longitude, point.visibility_km, point.light_on});
      previous_on = point.light_on;
    }
    run.track.push_back(point);
  }

  library.linkage->stop();
  std::uint16_t final_word = query_light();
  if (options.verbose) {
    for (const std::string& line : HostJournal()) std::cout << "host: " << line << "\n";
  }
  if (LiveRegistrations() != 0 || UnexpectedHostCalls() != 0) {
    std::cout << "warning: the module left " << LiveRegistrations()
              << " registrations behind and made " << UnexpectedHostCalls()
              << " unexpected host calls\n";
  }
  UnloadModuleLibrary(&library);
  server.reset();
  if (map_path && !WriteSvgMap(*map_path, run, &error)) {
    std::cerr << "qelsim: " << error << "\n";
    return 1;
  }
  std::cout << "final light word: " << Hex4(final_word) << "\n";
  return 0;
}

}  // namespace
}  // namespace qel::sim

int main(int argc, char** argv) {
  qel::sim::Options options;
  std::string error;
  if (!qel::sim::ParseOptions(argc, argv, &options, &error)) {
    std::cerr << "qelsim: " << error << "\n";
    return 2;
  }
  if (options.help) {
    std::cout << qel::sim::kUsage;
    return 0;
  }
  if (options.check) return qel::sim::CheckPortList(*options.check, std::cout);
  try {
    return qel::sim::Run(options);
  } catch (const std::exception& e) {
    std::cerr << "qelsim: " << e.what() << "\n";
    return 2;
  }
}
