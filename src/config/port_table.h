// The port list: the file modules\Qel.ini read into the module-wide port table
// when the module starts, released when it stops.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/log_stream.h"

namespace qel {

struct PortRecord {
  double latitude;   // degrees
  double longitude;  // degrees
  float threshold;   // visibility in km below which the light bit is set
  float range;       // km; a port at this distance or farther is not acted on
  char label[8];     // up to 4 characters, zero filled
};

struct PortTable {
  PortRecord* records = nullptr;
  std::int32_t count = 0;
};

// The module-wide table the light cycle walks. Inline, because the tick handler
// asks for it on every host tick, including the fifteen idle ones.
extern PortTable g_port_table;
inline PortTable& ThePortTable() {
  return g_port_table;
}

// The five fields of a port line, as the line is split at its first four semicolons.
// Field 5 is everything after the fourth, cut to four characters; a line with only
// three semicolons has an empty field 5.
struct PortFields {
  std::string_view field[5];
  std::string_view uncut_label;  // field 5 before cutting
  bool has_fourth_semicolon = false;
};
constexpr std::size_t kLabelLength = 4;

// True when the line is a port line (it has its first three semicolons); then
// fills `fields`. Both passes of the loader, and the port list checker, decide by it.
bool SplitPortLine(std::string_view line, PortFields* fields);

// Fills a record from a split line.
PortRecord MakePortRecord(const PortFields& fields);

void LoadPortTable(LogStream* log);
void ReleasePortTable();

}  // namespace qel
