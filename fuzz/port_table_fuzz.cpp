// Fuzzes the port-file loader with arbitrary bytes as Qel.ini. The first byte
// picks what happens between the loader's two readings (nothing, other bytes, a
// failed opening, no memory for the table); the table must then agree with the
// INIT lines, and both with the file as a reader that shares no code reads it.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/log_stream.h"
#include "config/port_table.h"
#include "os/os_calls.h"

namespace {

enum Mode { kSame, kChanged, kSecondFails, kNoMemory, kModes };

Mode g_mode = kSame;
std::string g_first, g_second;
int g_opens = 0;

std::FILE* OpenBytes(const char*, const char*) {
  ++g_opens;
  if (g_opens == 2 && g_mode == kSecondFails) return nullptr;
  const std::string& bytes = g_opens == 1 ? g_first : g_second;
  if (bytes.empty()) return std::fopen("/dev/null", "rb");
  return fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
}

void* NoMemory(std::size_t, std::size_t) {
  return nullptr;
}

[[noreturn]] void Fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "port table fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// The port lines of a file: Windows text mode, lines up to their first NUL, and
// a port line has at least three semicolons.
std::vector<std::string> PortLines(const std::string& bytes) {
  const std::string before_eof = bytes.substr(0, bytes.find('\x1A'));
  std::string text;
  for (std::size_t i = 0; i < before_eof.size(); ++i) {
    if (before_eof[i] == '\r' && i + 1 < before_eof.size() && before_eof[i + 1] == '\n') continue;
    text += before_eof[i];
  }
  std::vector<std::string> ports;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    line = line.substr(0, line.find('\0'));
    std::size_t semicolons = 0;
    for (char c : line) semicolons += c == ';';
    if (semicolons >= 3) ports.push_back(line);
    begin = end + 1;
  }
  return ports;
}

struct Fields {
  std::string f[4];
  std::string label;  // cut to four characters
};

Fields Split(const std::string& line) {
  Fields fields;
  std::size_t from = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t at = line.find(';', from);
    if (at == std::string::npos) {  // only three semicolons: field 4 runs to the end
      fields.f[i] = line.substr(from);
      from = line.size();
      break;
    }
    fields.f[i] = line.substr(from, at - from);
    from = at + 1;
  }
  fields.label = line.substr(std::min(from, line.size()), 4);
  return fields;
}

// strtod's reading, where it means the same as the port file's: no hexadecimal,
// infinity or not-a-number words, and D or d as exponent letters.
bool Reference(const std::string& field, double* value) {
  if (field.find_first_of("xXiInN") != std::string::npos) return false;
  std::string copy = field;
  for (char& c : copy) {
    if (c == 'd' || c == 'D') c = 'e';
  }
  *value = std::strtod(copy.c_str(), nullptr);
  return true;
}

bool Same(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

std::string Fixed(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qel;
  if (size == 0) return 0;
  g_mode = static_cast<Mode>(data[0] % kModes);
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (g_mode == kChanged && !rest.empty()) {
    const std::size_t cut = static_cast<std::uint8_t>(rest[0]) * (rest.size() - 1) / 255;
    g_first = rest.substr(1, cut);
    g_second = rest.substr(1 + cut);
  } else {
    g_first = g_second = rest;
  }
  g_opens = 0;
  os::Os() = os::DefaultOsCalls();
  os::Os().fopen = OpenBytes;
  if (g_mode == kNoMemory) os::Os().calloc = NoMemory;

  std::string log_text;
  LogStream log;
  log.buffer = &log_text;
  LoadPortTable(&log);
  os::Os() = os::DefaultOsCalls();

  const std::vector<std::string> first = PortLines(g_first);
  const std::vector<std::string> second = PortLines(g_second);
  std::size_t expected = first.size();
  if (g_mode == kNoMemory || (g_mode == kSecondFails && !first.empty())) expected = 0;
  if (g_mode == kChanged && second.size() < expected) expected = second.size();

  const PortTable& table = ThePortTable();
  if (table.count < 0 || static_cast<std::size_t>(table.count) != expected) {
    Fail("port count",
         std::to_string(table.count) + " ports, expected " + std::to_string(expected));
  }
  if (table.count > 0 && table.records == nullptr) Fail("ports without records");

  std::string expected_log;
  for (int i = 0; i < table.count; ++i) {
    const Fields fields = Split(second[static_cast<std::size_t>(i)]);
    const PortRecord& record = table.records[i];
    char label[8] = {};
    std::memcpy(label, fields.label.data(), fields.label.size());
    if (std::memcmp(label, record.label, sizeof label) != 0) Fail("label", fields.label);
    double value;
    if (Reference(fields.f[0], &value) && !Same(record.latitude, value))
      Fail("latitude", fields.f[0]);
    if (Reference(fields.f[1], &value) && !Same(record.longitude, value)) {
      Fail("longitude", fields.f[1]);
    }
    if (Reference(fields.f[2], &value) && !Same(record.threshold, static_cast<float>(value))) {
      Fail("threshold", fields.f[2]);
    }
    if (Reference(fields.f[3], &value) && !Same(record.range, static_cast<float>(value))) {
      Fail("range", fields.f[3]);
    }
    expected_log += "INIT: " + std::to_string(i + 1) + "  - s1-" + fields.f[0] + " s2-" +
                    fields.f[1] + " s3-" + fields.f[2] + " s4-" + fields.f[3] + " s5-" +
                    fields.label + "\r\n";
    expected_log += "INIT: Lat - " + Fixed(record.latitude) + "; Lon - " + Fixed(record.longitude) +
                    "; Qelmarin - " + Fixed(record.threshold) + "; Range - " + Fixed(record.range) +
                    "\r\n";
  }
  const int openings = first.empty() || g_mode == kNoMemory ? 1 : 2;
  if (g_opens != openings) Fail("openings of the file", std::to_string(g_opens));
  if (log_text != expected_log)
    Fail("INIT lines", log_text + "\n--- expected ---\n" + expected_log);
  ReleasePortTable();
  return 0;
}
