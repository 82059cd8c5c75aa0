// Port list checking: the module's own line cursor, split and record making for
// what the ports become, and a look at the raw bytes for what the text-mode rules hide.
#include "qelsim/check.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "common/text_file.h"
#include "config/number.h"
#include "light/evaluation.h"
#include "os/os_calls.h"

namespace qel::sim {

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr char kEndOfFile = '\x1A';
const char* const kFieldNames[4] = {"latitude", "longitude", "threshold", "range"};

// The white space the number reading skips; around a number it changes nothing.
bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsBlank(std::string_view text) {
  return std::all_of(text.begin(), text.end(), IsSpace);
}

std::string Quoted(std::string_view text) {
  return "\"" + EscapeText(text) + "\"";
}

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// Six decimals, as the module's log prints the ports; huge values would run to
// hundreds of digits that way.
std::string Number(double value) {
  if (std::isfinite(value) && std::fabs(value) < 1e9) return Format("%f", value);
  return Format("%g", value);
}

// Short numbers for sentences: 30 km, not 30.000000 km.
std::string Short(double value) {
  return Format("%g", value);
}

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string PortName(std::size_t number, const PortRecord& port) {
  return "port " + std::to_string(number) + " " + Quoted(LabelOf(port));
}

// One line of the file as it lies on disk, without its LF.
struct RawLine {
  std::string_view bytes;
  bool has_lf;
};

// Lines the way the line cursor cuts them: what follows the last LF is a line only
// when it is not empty, so raw line k is the cursor's line k.
std::vector<RawLine> SplitRawLines(std::string_view bytes) {
  std::vector<RawLine> lines;
  while (!bytes.empty()) {
    std::size_t lf = bytes.find('\n');
    if (lf == std::string_view::npos) {
      lines.push_back({bytes, false});
      break;
    }
    lines.push_back({bytes.substr(0, lf), true});
    bytes.remove_prefix(lf + 1);
  }
  return lines;
}

class Examiner {
 public:
  explicit Examiner(PortListCheck* check) : check_(*check) {}

  void Warn(int line, std::string text) {
    check_.findings.push_back({line, true, std::move(text)});
  }
  void Note(int line, std::string text) {
    check_.findings.push_back({line, false, std::move(text)});
  }

  // What the text-mode rules and the C-string view of a line do to the bytes.
  void ExamineBytes(std::string_view bytes) {
    std::size_t end = bytes.find(kEndOfFile);
    std::string_view read = bytes.substr(0, end);
    if (read.starts_with(kUtf8Mark)) {
      Warn(1,
           "the file starts with a UTF-8 byte order mark: the module reads its three bytes as "
           "part of the first field; save the file as ANSI or plain ASCII");
    }
    std::vector<RawLine> lines = SplitRawLines(read);
    int lf_alone_first = 0;
    std::size_t lf_alone = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      int number = static_cast<int>(i) + 1;
      std::string_view line = lines[i].bytes;
      if (lines[i].has_lf) {
        if (line.ends_with('\r')) {
          line.remove_suffix(1);
        } else if (lf_alone++ == 0) {
          lf_alone_first = number;
        }
      }
      std::size_t cr = line.find('\r');
      if (cr != std::string_view::npos) {
        std::size_t crs = static_cast<std::size_t>(std::count(line.begin(), line.end(), '\r'));
        Warn(number, (crs == 1 ? std::string("holds a carriage return without a line feed")
                               : "holds " + std::to_string(crs) +
                                     " carriage returns without a line feed, the first") +
                         " at column " + std::to_string(cr + 1) +
                         ": the module keeps each as a character of the line, so lines ended "
                         "by CR alone run together into one");
      }
      std::size_t nul = line.find('\0');
      if (nul != std::string_view::npos) {
        Warn(number, "holds a NUL byte at column " + std::to_string(nul + 1) +
                         ": the module reads the line only as far as that and never sees " +
                         Quoted(line.substr(nul + 1)));
      }
    }
    if (lf_alone > 0) {
      Warn(lf_alone_first,
           "ends in LF alone, not CR LF" +
               (lf_alone > 1 ? " (" + Count(lf_alone, "line", "lines") + " in all)"
                             : std::string()) +
               ": the module reads both alike, but this is not a Windows text file and "
               "older Windows editors show such lines run together");
    }
    if (end != std::string_view::npos && !IsBlank(bytes.substr(end + 1))) {
      std::size_t line_start = read.rfind('\n');
      line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
      std::string_view after = bytes.substr(end + 1);
      Warn(1 + static_cast<int>(std::count(read.begin(), read.end(), '\n')),
           "a 0x1A byte at column " + std::to_string(end - line_start + 1) +
               " ends the file for the module: the " + Count(after.size(), "byte", "bytes") +
               " after it (" +
               Count(static_cast<std::size_t>(std::count(after.begin(), after.end(), '\n')),
                     "line end", "line ends") +
               ") are never read");
    }
  }

  // The lines as the module reads them: the same text-mode rules, the same line
  // cursor, the same split and the same record making as the loader.
  void ExamineLines(std::string_view bytes) {
    LineCursor cursor(bytes);
    std::string_view line;
    PortFields fields;
    while (cursor.Next(&line)) {
      int number = cursor.line_number();
      if (!SplitPortLine(line, &fields)) {
        if (IsBlank(line)) {
          Note(number, "blank line: skipped; it takes no port number");
        } else {
          std::size_t semicolons =
              static_cast<std::size_t>(std::count(line.begin(), line.end(), ';'));
          Warn(number, "not a port line: " + Count(semicolons, "semicolon", "semicolons") +
                           " where a port line needs four; skipped, it takes no port number");
        }
        continue;
      }
      check_.ports.push_back({MakePortRecord(fields), number});
      ExamineFields(fields);
      ExamineValues();
    }
  }

  // Findings that need the whole table: names and ranges shared between ports.
  void ExamineAcrossPorts() {
    const std::vector<CheckedPort>& ports = check_.ports;
    for (std::size_t j = 0; j < ports.size(); ++j) {
      const PortRecord& later = ports[j].record;
      for (std::size_t i = 0; i < j; ++i) {
        if (LabelOf(later).empty() || LabelOf(later) != LabelOf(ports[i].record)) continue;
        Warn(ports[j].line, PortName(j + 1, later) + " has the same label as port " +
                                std::to_string(i + 1) + " (line " + std::to_string(ports[i].line) +
                                "): the log cannot tell them apart");
        break;
      }
      if (!Placed(later)) continue;
      for (std::size_t i = 0; i < j; ++i) {
        const PortRecord& earlier = ports[i].record;
        if (!Placed(earlier)) continue;
        double apart =
            DistanceKm(earlier.latitude, earlier.longitude, later.latitude, later.longitude);
        double reach = static_cast<double>(earlier.range) + static_cast<double>(later.range);
        if (apart >= reach) continue;
        std::string distance = Format("%.3f km apart", apart);
        std::string text = PortName(j + 1, later) + " overlaps " + PortName(i + 1, earlier) +
                           " (line " + std::to_string(ports[i].line) + "): " + distance +
                           ", ranges " + Short(earlier.range) + " + " + Short(later.range) +
                           " km; where both are in range, port " + std::to_string(j + 1) +
                           " is tested later and decides";
        if (earlier.threshold == later.threshold) text += " (both thresholds are alike)";
        Warn(ports[j].line, text);
      }
    }
  }

 private:
  // A port the aircraft can ever be in range of, at a place on the earth.
  static bool Placed(const PortRecord& port) {
    return std::isfinite(port.latitude) && std::isfinite(port.longitude) &&
           std::isfinite(port.range) && port.range > 0;
  }

  int port_line() const { return check_.ports.back().line; }
  std::size_t number() const { return check_.ports.size(); }
  std::string port() const { return "port " + std::to_string(number()); }

  void ExamineFields(const PortFields& fields) {
    if (!fields.has_fourth_semicolon) {
      Warn(port_line(), "only three semicolons: read as " + port() +
                            " with an empty label and the range running to the end of the line");
    } else if (fields.uncut_label.empty()) {
      Warn(port_line(), port() + " has an empty label: the log will show it by number alone");
    }
    if (fields.uncut_label.size() > kLabelLength) {
      Warn(port_line(), "label " + Quoted(fields.uncut_label) + " is cut to " +
                            Quoted(fields.field[4]) + ": a label holds four characters");
    }
    for (int f = 0; f < 4; ++f) {
      std::string_view field = fields.field[f];
      const char* begin = field.data();
      const char* end = begin + field.size();
      const char* stop = nullptr;
      ParseNumber(begin, end, &stop);
      std::string name = std::string("the ") + kFieldNames[f] + " field";
      if (stop == begin) {
        Warn(port_line(), IsBlank(field)
                              ? name + " is empty: read as 0"
                              : name + " " + Quoted(field) + " holds no number: read as 0");
      } else if (!IsBlank(std::string_view(stop, static_cast<std::size_t>(end - stop)))) {
        std::string_view number_text(begin, static_cast<std::size_t>(stop - begin));
        Warn(port_line(),
             name + " " + Quoted(field) + " has text after its number: read as " +
                 Quoted(number_text.substr(number_text.find_first_not_of(" \t\v\f\r\n"))) +
                 ", the rest ignored");
      }
    }
  }

  void ExamineValues() {
    const PortRecord& record = check_.ports.back().record;
    struct Position {
      const char* name;
      double value;
      double limit;
    };
    for (const Position& p : {Position{"latitude", record.latitude, 90.0},
                              Position{"longitude", record.longitude, 180.0}}) {
      if (!std::isfinite(p.value)) {
        Warn(port_line(), std::string(p.name) + " is too large for the module: held as " +
                              Short(p.value) + ", so the aircraft is never in range of " + port());
      } else if (std::fabs(p.value) > p.limit) {
        Warn(port_line(), std::string(p.name) + " " + Number(p.value) + " lies outside " +
                              Short(-p.limit) + ".." + Short(p.limit) +
                              ": the module takes it as written, so " + port() +
                              " is not where it seems");
      }
    }
    double threshold = record.threshold;
    if (std::isinf(threshold)) {
      Warn(port_line(), "threshold is too large for the module's single precision: held as " +
                            Short(threshold) + ", so in range of " + port() +
                            (threshold > 0 ? " the light is always switched on"
                                           : " the light is always switched off"));
    } else if (threshold <= 0) {
      Warn(port_line(), "threshold " + Short(threshold) + " km is 0 or less: in range of " +
                            port() + " the light is always switched off");
    }
    double range = record.range;
    if (std::isinf(range)) {
      Warn(port_line(),
           "range is too large for the module's single precision: held as " + Short(range) +
               (range > 0 ? ", so the aircraft is in range of " + port() + " anywhere on earth"
                          : ", so the aircraft is never in range of " + port()));
    } else if (range <= 0) {
      Warn(port_line(), "range " + Short(range) +
                            " km is 0 or less: the aircraft is never in range of " + port());
    }
  }

  PortListCheck& check_;
};

bool ReadBytes(const std::string& path, std::string* bytes, std::string* error) {
  errno = 0;
  std::FILE* file = os::Os().fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::string("cannot open: ") + (errno != 0 ? std::strerror(errno) : "unknown error");
    return false;
  }
  char chunk[1 << 16];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes->append(chunk, got);
  bool failed = std::ferror(file) != 0;
  int read_errno = errno;
  std::fclose(file);
  if (failed) {
    *error = std::string("cannot read: ") +
             (read_errno != 0 ? std::strerror(read_errno) : "unknown error");
    return false;
  }
  return true;
}

void PrintTable(const std::string& path, const std::vector<CheckedPort>& ports, std::ostream& out) {
  out << path << ": " << Count(ports.size(), "port", "ports") << " as the module will hold them\n";
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"port", "line", "label", "latitude", "longitude", "threshold km", "range km"});
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const PortRecord& r = ports[i].record;
    rows.push_back({std::to_string(i + 1), std::to_string(ports[i].line), Quoted(LabelOf(r)),
                    Number(r.latitude), Number(r.longitude), Number(r.threshold), Number(r.range)});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : rows) {
    out << " ";
    for (std::size_t c = 0; c < row.size(); ++c) {
      std::string padding(widths[c] - row[c].size(), ' ');
      // Labels read from the left, numbers line up on the right.
      out << "  " << (c == 2 ? row[c] + padding : padding + row[c]);
    }
    out << "\n";
  }
}

}  // namespace

std::string EscapeText(std::string_view text) {
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", byte);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string_view LabelOf(const PortRecord& port) {
  return std::string_view(port.label, strnlen(port.label, sizeof port.label));
}

int PortListCheck::Status() const {
  if (ports.empty()) return kCheckUnusable;
  bool warned = std::any_of(findings.begin(), findings.end(),
                            [](const CheckFinding& f) { return f.warning; });
  return warned ? kCheckWarnings : kCheckClean;
}

PortListCheck ExaminePortList(std::string_view bytes) {
  PortListCheck check;
  Examiner examiner(&check);
  examiner.ExamineBytes(bytes);
  examiner.ExamineLines(bytes);
  examiner.ExamineAcrossPorts();
  std::stable_sort(check.findings.begin(), check.findings.end(),
                   [](const CheckFinding& a, const CheckFinding& b) { return a.line < b.line; });
  return check;
}

int CheckPortList(const std::string& path, std::ostream& out) {
  std::string bytes;
  std::string error;
  if (!ReadBytes(path, &bytes, &error)) {
    out << path << ": " << error << "\n"
        << path << ": not usable: the module would log \"Unable open QEL.INI!\" and hold no port"
        << " (exit status " << kCheckUnusable << ")\n";
    return kCheckUnusable;
  }
  PortListCheck check = ExaminePortList(bytes);
  if (check.ports.empty()) {
    out << path << ": no port line: the module would hold no port and never touch the light\n";
  } else {
    PrintTable(path, check.ports, out);
  }
  std::size_t warnings = 0;
  for (const CheckFinding& f : check.findings) {
    out << path << ":" << f.line << ": " << (f.warning ? "warning: " : "note: ") << f.text << "\n";
    if (f.warning) ++warnings;
  }
  std::size_t notes = check.findings.size() - warnings;
  int status = check.Status();
  out << path << ": " << Count(check.ports.size(), "port", "ports") << ", "
      << Count(warnings, "warning", "warnings");
  if (notes > 0) out << ", " << Count(notes, "note", "notes");
  out << ": "
      << (status == kCheckClean      ? "usable"
          : status == kCheckWarnings ? "usable, but read the warnings"
                                     : "not usable")
      << " (exit status " << status << ")\n";
  return status;
}

}  // namespace qel::sim
