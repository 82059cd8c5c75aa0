// The port list checker behind `qelsim --check`: reads a port list through the
// module's own reader and tells the pilot, line by line, what the module will make of it.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "config/port_table.h"

namespace qel::sim {

// Exit statuses. A file the module would read as no port at all is unusable: the
// module then never touches the light, which is never what the pilot wrote it for.
constexpr int kCheckClean = 0;     // usable, nothing to warn about
constexpr int kCheckWarnings = 1;  // usable, but the warnings say where it is not what it seems
constexpr int kCheckUnusable = 2;  // missing, unreadable, or without a single port

struct CheckedPort {
  PortRecord record;  // as the module holds it
  int line;           // where it came from, 1-based
};

struct CheckFinding {
  int line;      // 1-based; 0 for the file as a whole
  bool warning;  // a note (a harmless blank line) leaves the status alone
  std::string text;
};

struct PortListCheck {
  std::vector<CheckedPort> ports;
  std::vector<CheckFinding> findings;  // in line order
  int Status() const;
};

// Examines a port list given as the bytes on disk.
PortListCheck ExaminePortList(std::string_view bytes);

// Reads the file at `path`, writes the port table and every finding, each with
// the file name and line, to `out`, and returns one of the statuses above.
int CheckPortList(const std::string& path, std::ostream& out);

// Text as a pilot can read it on a terminal or a map: control characters, the
// backslash and bytes outside ASCII written as escapes (\t, \r, \n, \\, \xNN).
std::string EscapeText(std::string_view text);

// A stored label: its characters up to the zero fill.
std::string_view LabelOf(const PortRecord& port);

}  // namespace qel::sim
