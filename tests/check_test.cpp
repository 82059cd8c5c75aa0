// The port list checker: the table it prints, every mistake named with its line,
// and the exit status a pilot's script can act on.
#include "qelsim/check.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/log_stream.h"
#include "config/port_table.h"
#include "support/temp_dir.h"

namespace qel::sim {
namespace {

const std::string kPath = "modules/Qel.ini";

class CheckTest : public ::testing::Test {
 protected:
  void TearDown() override { ReleasePortTable(); }
  // Writes the port list and checks it as `qelsim --check modules/Qel.ini` would.
  int Check(const std::string& bytes) {
    dir_.WriteModuleFile("Qel.ini", bytes);
    std::ostringstream out;
    int status = CheckPortList(kPath, out);
    output_ = out.str();
    return status;
  }

  // The findings printed as "modules/Qel.ini:<line>: <text>", by line.
  std::map<int, std::vector<std::string>> Findings() const {
    std::map<int, std::vector<std::string>> by_line;
    std::istringstream lines(output_);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind(kPath + ":", 0) != 0) continue;
      std::size_t at = kPath.size() + 1;
      std::size_t digits = line.find_first_not_of("0123456789", at);
      if (digits == at || digits == std::string::npos || line.compare(digits, 2, ": ") != 0)
        continue;
      by_line[std::stoi(line.substr(at, digits - at))].push_back(line.substr(digits + 2));
    }
    return by_line;
  }

  // The table's lines, split into words: the header first.
  std::vector<std::vector<std::string>> Rows() const {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(output_);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("  ", 0) != 0) continue;
      std::istringstream words(line);
      rows.emplace_back(std::istream_iterator<std::string>(words),
                        std::istream_iterator<std::string>());
    }
    return rows;
  }

  test::TempSimDir dir_;
  std::string output_;
};

TEST_F(CheckTest, ACleanListIsUsableAndShowsEveryPort) {
  EXPECT_EQ(Check("55.97;37.41;5.0;30.0;UUEE\r\n"
                  "59.80;30.26;3.2;25;ULLI\r\n"),
            kCheckClean)
      << output_;
  EXPECT_TRUE(Findings().empty()) << output_;
  // Number, line, label and the values as the module's INIT lines print them.
  EXPECT_NE(output_.find("2 ports as the module will hold them"), std::string::npos) << output_;
  std::vector<std::vector<std::string>> rows = Rows();
  ASSERT_EQ(rows.size(), 3u) << output_;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"port", "line", "label", "latitude", "longitude",
                                               "threshold", "km", "range", "km"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"1", "1", "\"UUEE\"", "55.970000", "37.410000",
                                               "5.000000", "30.000000"}));
  EXPECT_EQ(rows[2], (std::vector<std::string>{"2", "2", "\"ULLI\"", "59.800000", "30.260000",
                                               "3.200000", "25.000000"}));
}

struct MistakeLine {
  std::string bytes;                   // the line as on disk, with its end
  std::vector<std::string> fragments;  // what the findings of this line say; none: clean
};

// One line per mistake, so that a finding on the wrong line shows. The ports
// lie far apart but for the one overlap meant.
std::vector<MistakeLine> MistakeLines() {
  return {
      {"55.97;37.41;5.0;30.0;UUEE\r\n", {}},
      {"\r\n", {"note: blank line: skipped"}},
      {"UUDD 55.4 37.9 5 30\r\n", {"not a port line: 0 semicolons"}},
      {"a;b\r\n", {"not a port line: 1 semicolon where"}},
      {"40.0;-3.5;5;30;MADRID\r\n", {"label \"MADRID\" is cut to \"MADR\""}},
      {"41.3;2.1;5;30\r\n", {"only three semicolons: read as port 3 with an empty label"}},
      {"36.0;36.0;5;30;\r\n", {"port 4 has an empty label"}},
      {"north;12.0;5;30;NONM\r\n", {"the latitude field \"north\" holds no number: read as 0"}},
      {"44.0;;5;30;EMPT\r\n", {"the longitude field is empty: read as 0"}},
      {"45.0; 12.5abc;5;30;TRAI\r\n",
       {"the longitude field \" 12.5abc\" has text after its number: read as \"12.5\""}},
      {"-12;-60;1d1x;30;THRT\r\n", {"the threshold field \"1d1x\" has text after its number"}},
      {"-13;-61;5;30 km;RNGT\r\n", {"the range field \"30 km\" has text after its number"}},
      {"95.0;10.0;5;30;LAT9\r\n", {"latitude 95.000000 lies outside -90..90"}},
      {"-10.0;-190.5;5;30;LON1\r\n", {"longitude -190.500000 lies outside -180..180"}},
      {"20.0;20.0;5;0;RNG0\r\n", {"range 0 km is 0 or less: the aircraft is never in range"}},
      {"21.0;21.0;5;-3;RNGN\r\n", {"range -3 km is 0 or less"}},
      {"22.0;22.0;0;30;THR0\r\n", {"threshold 0 km is 0 or less", "always switched off"}},
      {"23.0;23.0;-1;30;THRN\r\n", {"threshold -1 km is 0 or less"}},
      {"55.99;37.45;3;30;OVER\r\n",
       {"overlaps port 1 \"UUEE\" (line 1)", "ranges 30 + 30 km", "port 16 is tested later"}},
      {"30.0;30.0;5;30;UUEE\r\n", {"same label as port 1 (line 1)"}},
      {"31.0;31.0;5;30;LFLF\n", {"ends in LF alone, not CR LF"}},
      {"32.0;32.0;5;30;C\rR\r\n", {"carriage return without a line feed at column 17"}},
      {std::string("33.0;33.0;5;30;NU\0L\r\n", 21), {"NUL byte at column 18", "never sees \"L\""}},
      {std::string("1;2\0;3;4;EF\r\n", 13), {"NUL byte at column 4", "not a port line"}},
      {"1e400;33.0;5;30;BIGL\r\n", {"latitude is too large", "never in range of port 21"}},
      {"34.0;34.0;1e39;30;BIGT\r\n", {"threshold is too large", "always switched on"}},
      {"35.0;35.0;5;1e39;BIGR\r\n", {"range is too large", "in range of port 23 anywhere"}},
      {"37.0;37.0;5;30;EOF1\r\n", {}},
      {"\x1A"
       "38;38;5;30;GONE\r\n",
       {"a 0x1A byte at column 1 ends the file", "17 bytes after it (1 line end)"}},
  };
}

TEST_F(CheckTest, EveryMistakeIsNamedOnItsLine) {
  std::vector<MistakeLine> lines = MistakeLines();
  std::string file;
  for (const MistakeLine& line : lines) file += line.bytes;

  EXPECT_EQ(Check(file), kCheckWarnings) << output_;
  std::map<int, std::vector<std::string>> findings = Findings();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    int number = static_cast<int>(i) + 1;
    SCOPED_TRACE("line " + std::to_string(number) + ": " + EscapeText(lines[i].bytes));
    const std::vector<std::string>& said = findings[number];
    for (const std::string& fragment : lines[i].fragments) {
      bool named = false;
      for (const std::string& text : said) named = named || text.find(fragment) != text.npos;
      EXPECT_TRUE(named) << "missing: " << fragment << "\n" << output_;
    }
    if (lines[i].fragments.empty()) {
      EXPECT_TRUE(said.empty()) << "unexpected: " << said.front();
    }
    // Nothing is said about a line but what the table expects of it.
    for (const std::string& text : said) {
      bool expected = false;
      for (const std::string& fragment : lines[i].fragments) {
        expected = expected || text.find(fragment) != text.npos;
      }
      EXPECT_TRUE(expected) << "unexpected: " << text;
    }
  }
  EXPECT_LE(findings.rbegin()->first, static_cast<int>(lines.size()));
}

TEST_F(CheckTest, TheTableIsWhatTheModuleLoads) {
  std::string file;
  for (const MistakeLine& line : MistakeLines()) file += line.bytes;
  PortListCheck check = ExaminePortList(file);

  dir_.WriteModuleFile("Qel.ini", file);
  std::string log_text;
  LogStream log;
  log.buffer = &log_text;
  LoadPortTable(&log);
  const PortTable& table = ThePortTable();
  ASSERT_EQ(static_cast<int>(check.ports.size()), table.count);
  for (int i = 0; i < table.count; ++i) {
    SCOPED_TRACE("port " + std::to_string(i + 1));
    EXPECT_EQ(std::memcmp(&check.ports[i].record, &table.records[i], sizeof(PortRecord)), 0);
  }
}

TEST_F(CheckTest, OutputHoldsNoRawControlCharacters) {
  std::string file = "1;2;3;4;\t\x01\x7F\xC3\r\n";
  for (const MistakeLine& line : MistakeLines()) file += line.bytes;
  Check(file);
  for (char c : output_) {
    auto byte = static_cast<unsigned char>(c);
    ASSERT_TRUE(c == '\n' || (byte >= 0x20 && byte < 0x7F)) << "byte " << int{byte};
  }
  EXPECT_NE(output_.find("\"\\t\\x01\\x7F\\xC3\""), std::string::npos) << output_;
}

TEST_F(CheckTest, PortsOnOneSpotOverlap) {
  // Two ports on one spot: whatever either decides, the later one overrides.
  Check("10;10;5;30;AAAA\r\n10;10;3;30;BBBB\r\n");
  ASSERT_EQ(Findings()[2].size(), 1u) << output_;
  EXPECT_NE(Findings()[2][0].find("overlaps port 1"), std::string::npos);
}

TEST_F(CheckTest, CirclesThatOnlyTouchDoNotOverlap) {
  // One degree of latitude is 111.226 km on the module's sphere: ranges of 55 km
  // each stop short of each other, 56 km each reach across.
  EXPECT_EQ(Check("10;20;5;55;AAAA\r\n11;20;5;55;BBBB\r\n"), kCheckClean) << output_;
  EXPECT_EQ(Check("10;20;5;56;AAAA\r\n11;20;5;56;BBBB\r\n"), kCheckWarnings) << output_;
  EXPECT_NE(Findings()[2][0].find("111.226 km apart"), std::string::npos) << output_;
}

TEST_F(CheckTest, PositionsOnTheLimitsAreFine) {
  EXPECT_EQ(Check("90;180;5;30;NPOL\r\n-90;-180;5;30;SPOL\r\n0;-180;5;30;DATE\r\n"), kCheckClean)
      << output_;
}

TEST_F(CheckTest, LineEndsOfLfAloneAreOneWarning) {
  EXPECT_EQ(Check("1;2;3;4;AAAA\n5;6;7;8;BBBB\n9;10;11;12;CCCC\n"), kCheckWarnings);
  std::map<int, std::vector<std::string>> findings = Findings();
  ASSERT_EQ(findings.size(), 1u) << output_;
  ASSERT_EQ(findings[1].size(), 1u);
  EXPECT_NE(findings[1][0].find("(3 lines in all)"), std::string::npos) << output_;
}

TEST_F(CheckTest, AByteOrderMarkIsNamed) {
  EXPECT_EQ(Check("\xEF\xBB\xBF"
                  "55.97;37.41;5.0;30.0;UUEE\r\n"),
            kCheckWarnings);
  std::vector<std::string> said = Findings()[1];
  ASSERT_EQ(said.size(), 2u) << output_;
  EXPECT_NE(said[0].find("byte order mark"), std::string::npos);
  EXPECT_NE(said[1].find("holds no number"), std::string::npos);
}

TEST_F(CheckTest, TrailingBlanksAfter0x1AAreNotWorthAWarning) {
  EXPECT_EQ(Check("1;2;3;4;AAAA\r\n\x1A"), kCheckClean) << output_;
  EXPECT_EQ(Check("1;2;3;4;AAAA\r\n\x1A\r\n  \r\n"), kCheckClean) << output_;
}

TEST_F(CheckTest, ExitStatusTellsWhetherTheListIsUsable) {
  struct Case {
    const char* name;
    std::string bytes;
    int status;
  };
  const Case cases[] = {
      {"clean", "1;2;3;4;AAAA\r\n", kCheckClean},
      {"blank lines are notes, not warnings", "\r\n1;2;3;4;AAAA\r\n\r\n", kCheckClean},
      {"a warning", "1;2;3;4;AAAAA\r\n", kCheckWarnings},
      {"empty", "", kCheckUnusable},
      {"only lines that are no ports", "Moscow; Sheremetyevo\r\n\r\n", kCheckUnusable},
      {"ports only after 0x1A",
       "\x1A"
       "1;2;3;4;AAAA\r\n",
       kCheckUnusable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Check(c.bytes), c.status) << output_;
    EXPECT_NE(output_.find("(exit status " + std::to_string(c.status) + ")"), std::string::npos)
        << output_;
  }
}

TEST_F(CheckTest, AMissingOrUnreadableFileIsUnusable) {
  std::ostringstream out;
  EXPECT_EQ(CheckPortList("modules/NoSuch.ini", out), kCheckUnusable);
  EXPECT_NE(out.str().find("modules/NoSuch.ini: cannot open: No such file or directory"),
            std::string::npos)
      << out.str();

  std::filesystem::create_directory("modules/Folder.ini");
  std::ostringstream folder;
  EXPECT_EQ(CheckPortList("modules/Folder.ini", folder), kCheckUnusable);
  EXPECT_NE(folder.str().find("modules/Folder.ini: cannot"), std::string::npos) << folder.str();
}

TEST(EscapeText, LeavesPlainTextAndEscapesTheRest) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"UUEE", "UUEE"},
      {"A B;", "A B;"},
      {"\t\r\n", "\\t\\r\\n"},
      {"a\\b\"", "a\\\\b\\\""},
      {std::string("\0", 1), "\\x00"},
      {"\x1F\x7F", "\\x1F\\x7F"},
      {"Z\xC3\xBC", "Z\\xC3\\xBC"},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeText(c.in), c.out);
}

}  // namespace
}  // namespace qel::sim
