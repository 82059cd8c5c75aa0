// Reads the port list in two passes: count the port lines, allocate, then fill
// and log each port.
#include "config/port_table.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/text_file.h"
#include "config/number.h"
#include "os/os_calls.h"

namespace qel {

namespace {

// The port lines of the file at the cursor, as many as a count can hold.
std::int32_t CountPortLines(LineCursor& cursor) {
  std::string_view line;
  PortFields fields;
  std::int32_t count = 0;
  while (count < INT32_MAX && cursor.Next(&line)) {
    if (SplitPortLine(line, &fields)) ++count;
  }
  return count;
}

double FieldNumber(std::string_view field) {
  return ParseNumber(field.data(), field.data() + field.size());
}

void LogField(LogStream* log, const char* prefix, std::string_view field) {
  LogWrite(log, prefix);
  LogWrite(log, field);
}

}  // namespace

PortTable g_port_table;

bool SplitPortLine(std::string_view line, PortFields* fields) {
  std::size_t cut[4];
  std::size_t from = 0;
  int found = 0;
  for (; found < 4; ++found) {
    std::size_t at = line.find(';', from);
    if (at == std::string_view::npos) break;
    cut[found] = at;
    from = at + 1;
  }
  if (found < 3) return false;
  fields->has_fourth_semicolon = found == 4;
  fields->field[0] = line.substr(0, cut[0]);
  fields->field[1] = line.substr(cut[0] + 1, cut[1] - cut[0] - 1);
  fields->field[2] = line.substr(cut[1] + 1, cut[2] - cut[1] - 1);
  if (found == 4) {
    fields->field[3] = line.substr(cut[2] + 1, cut[3] - cut[2] - 1);
    fields->uncut_label = line.substr(cut[3] + 1);
  } else {
    fields->field[3] = line.substr(cut[2] + 1);
    fields->uncut_label = std::string_view();
  }
  fields->field[4] = fields->uncut_label.substr(0, kLabelLength);
  return true;
}

PortRecord MakePortRecord(const PortFields& fields) {
  PortRecord record{};
  record.latitude = FieldNumber(fields.field[0]);
  record.longitude = FieldNumber(fields.field[1]);
  record.threshold = static_cast<float>(FieldNumber(fields.field[2]));
  record.range = static_cast<float>(FieldNumber(fields.field[3]));
  // An empty label may have no storage at all, and memcpy takes no null pointer.
  if (!fields.field[4].empty()) {
    std::memcpy(record.label, fields.field[4].data(), fields.field[4].size());
  }
  return record;
}

void LoadPortTable(LogStream* log) {
  g_port_table = PortTable{};
  std::FILE* file = os::Os().fopen(kPortFilePath, "rb");
  if (file == nullptr) {
    LogPrintf(log, "Unable open QEL.INI!\n");
    return;
  }
  std::int32_t counted;
  {
    LineCursor cursor(file);
    counted = CountPortLines(cursor);
  }
  std::fclose(file);
  if (counted == 0) return;
  auto* records = static_cast<PortRecord*>(
      os::Os().calloc(static_cast<std::size_t>(counted), sizeof(PortRecord)));
  if (records == nullptr) return;  // no table: the module goes on without ports
  g_port_table.records = records;

  // The second pass reads the file afresh; it fills no more than were counted,
  // and the count tells how many it did fill.
  std::int32_t filled = 0;
  file = os::Os().fopen(kPortFilePath, "rb");
  if (file != nullptr) {
    LineCursor cursor(file);
    std::string_view line;
    PortFields fields;
    while (filled < counted && cursor.Next(&line)) {
      if (!SplitPortLine(line, &fields)) continue;
      PortRecord& record = records[filled];
      record = MakePortRecord(fields);
      ++filled;
      LogPrintf(log, "INIT: %d  - ", filled);
      LogField(log, "s1-", fields.field[0]);
      LogField(log, " s2-", fields.field[1]);
      LogField(log, " s3-", fields.field[2]);
      LogField(log, " s4-", fields.field[3]);
      LogField(log, " s5-", fields.field[4]);
      LogPrintf(log, "\n");
      LogPrintf(log, "INIT: Lat - %f; Lon - %f; Qelmarin - %f; Range - %f\n", record.latitude,
                record.longitude, static_cast<double>(record.threshold),
                static_cast<double>(record.range));
    }
    std::fclose(file);
  }
  g_port_table.count = filled;
}

void ReleasePortTable() {
  std::free(g_port_table.records);
  // With the records gone the count goes too, so that a late tick finds nothing to walk.
  g_port_table = PortTable{};
}

}  // namespace qel
