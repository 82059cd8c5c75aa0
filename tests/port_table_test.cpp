// Loading the port list: the table it builds and the INIT lines it logs, byte for byte.
#include "config/port_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/log_stream.h"
#include "common/text_file.h"
#include "os/os_calls.h"
#include "support/temp_dir.h"

namespace qel {
namespace {

class PortTableTest : public ::testing::Test {
 protected:
  void TearDown() override {
    os::Os() = os::DefaultOsCalls();
    ReleasePortTable();
  }
  // Writes the port file, loads it, and returns the log as written.
  std::string Load(const std::string& ini) {
    dir_.WriteModuleFile("Qel.ini", ini);
    return LoadAsIs();
  }
  std::string LoadAsIs() {
    std::string text;
    LogStream log;
    log.buffer = &text;
    LoadPortTable(&log);
    return text;
  }
  const PortTable& table() const { return ThePortTable(); }
  std::string Label(int i) const { return std::string(table().records[i].label); }

  test::TempSimDir dir_;
};

TEST_F(PortTableTest, ReadsAPortAndLogsBothInitLines) {
  std::string log = Load("55.97;37.41;5.0;30.0;ABCD\r\n");
  ASSERT_EQ(table().count, 1);
  const PortRecord& port = table().records[0];
  EXPECT_EQ(port.latitude, 55.97);
  EXPECT_EQ(port.longitude, 37.41);
  EXPECT_EQ(port.threshold, 5.0f);
  EXPECT_EQ(port.range, 30.0f);
  EXPECT_EQ(std::memcmp(port.label, "ABCD\0\0\0\0", 8), 0);
  EXPECT_EQ(log,
            "INIT: 1  - s1-55.97 s2-37.41 s3-5.0 s4-30.0 s5-ABCD\r\n"
            "INIT: Lat - 55.970000; Lon - 37.410000; Qelmarin - 5.000000; Range - 30.000000\r\n");
}

TEST_F(PortTableTest, MissingFileGivesAnEmptyTableAndOneLine) {
  dir_.RemoveModuleFile("Qel.ini");
  EXPECT_EQ(LoadAsIs(), "Unable open QEL.INI!\r\n");
  EXPECT_EQ(table().count, 0);
  EXPECT_EQ(table().records, nullptr);
}

struct LabelCase {
  const char* line;
  const char* label;  // as stored, before the zero fill
  const char* logged;
};

class PortLabels : public PortTableTest, public ::testing::WithParamInterface<LabelCase> {};

TEST_P(PortLabels, AreCutToFourCharactersWithoutTheNewline) {
  const LabelCase& c = GetParam();
  std::string log = Load(c.line);
  ASSERT_EQ(table().count, 1);
  EXPECT_EQ(Label(0), c.label);
  EXPECT_EQ(log.substr(0, log.find("\r\nINIT: Lat")), std::string("INIT: 1  - ") + c.logged);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PortLabels,
    ::testing::Values(
        LabelCase{"1;2;3;4;AB\n", "AB", "s1-1 s2-2 s3-3 s4-4 s5-AB"},
        LabelCase{"1;2;3;4;AB\r\n", "AB", "s1-1 s2-2 s3-3 s4-4 s5-AB"},
        LabelCase{"1;2;3;4;ABCDEF\n", "ABCD", "s1-1 s2-2 s3-3 s4-4 s5-ABCD"},
        LabelCase{"1;2;3;4;A;BCD\n", "A;BC", "s1-1 s2-2 s3-3 s4-4 s5-A;BC"},
        LabelCase{"1;2;3;4;\n", "", "s1-1 s2-2 s3-3 s4-4 s5-"},
        // Three semicolons: a port whose label is empty, field 4 runs to the line's end.
        LabelCase{"1;2;3;4\n", "", "s1-1 s2-2 s3-3 s4-4 s5-"},
        // A lone CR is a character of the line, and of the label.
        LabelCase{"1;2;3;4;A\rB\n", "A\rB", "s1-1 s2-2 s3-3 s4-4 s5-A\rB"},
        LabelCase{"1;2;3;4;AB\r\r\n", "AB\r", "s1-1 s2-2 s3-3 s4-4 s5-AB\r"},
        LabelCase{"1;2;3;4;XY", "XY", "s1-1 s2-2 s3-3 s4-4 s5-XY"}));

TEST_F(PortTableTest, LinesThatAreNoPortsTakeNoNumber) {
  std::string log = Load(
      "10;20;1;5;AAAA\n"
      "\n"
      "just a comment; with two; semicolons\n"
      "\r\n"
      "30;40;2;6;BBBB\n");
  ASSERT_EQ(table().count, 2);
  EXPECT_EQ(Label(1), "BBBB");
  EXPECT_NE(log.find("INIT: 2  - s1-30 s2-40 s3-2 s4-6 s5-BBBB\r\n"), std::string::npos);
}

TEST_F(PortTableTest, FieldsReadTheirNumericPrefix) {
  std::string log = Load("north;  12.5abc;1d1;-3;LBL\n");
  ASSERT_EQ(table().count, 1);
  const PortRecord& port = table().records[0];
  EXPECT_EQ(port.latitude, 0.0);
  EXPECT_EQ(port.longitude, 12.5);
  EXPECT_EQ(port.threshold, 10.0f);
  EXPECT_EQ(port.range, -3.0f);
  EXPECT_NE(log.find("s1-north s2-  12.5abc s3-1d1 s4--3 s5-LBL\r\n"), std::string::npos);
  EXPECT_NE(
      log.find(
          "INIT: Lat - 0.000000; Lon - 12.500000; Qelmarin - 10.000000; Range - -3.000000\r\n"),
      std::string::npos);
}

TEST_F(PortTableTest, ThresholdAndRangeAreNarrowedToSinglePrecision) {
  Load("1;2;0.1;1e39;P\n");
  ASSERT_EQ(table().count, 1);
  EXPECT_EQ(table().records[0].threshold, 0.1f);
  EXPECT_TRUE(std::isinf(table().records[0].range));
}

TEST_F(PortTableTest, ALongLineIsOneLine) {
  // A tail past any fixed line buffer must not turn into a port of its own.
  std::string line = "1;2;3;4;LONG" + std::string(150, ' ') + "5;6;7;8;TAIL\n";
  std::string log = Load(line + "9;9;9;9;NEXT\n");
  ASSERT_EQ(table().count, 2);
  EXPECT_EQ(Label(0), "LONG");
  EXPECT_EQ(Label(1), "NEXT");
}

TEST_F(PortTableTest, TextModeRulesApply) {
  // 0x1A ends the file; what follows is never read.
  Load("1;2;3;4;AAAA\r\n5;6;7;8;BB\x1A\r\n9;9;9;9;CCCC\r\n");
  ASSERT_EQ(table().count, 2);
  EXPECT_EQ(Label(1), "BB");
}

TEST_F(PortTableTest, ANulByteEndsTheLineAsTheSplitterSeesIt) {
  std::string ini("1;2;3;4;AB\0CD\n1;2\0;3;4;EF\n7;8;9;10;GH\n", 39);
  std::string log = Load(ini);
  ASSERT_EQ(table().count, 2);
  EXPECT_EQ(Label(0), "AB");
  EXPECT_EQ(Label(1), "GH");
  EXPECT_EQ(log.find('\0'), std::string::npos);
}

TEST_F(PortTableTest, BadFilesNeverCrashTheLoader) {
  struct Case {
    const char* name;
    std::string bytes;
    int ports;
  };
  std::vector<Case> cases = {
      {"empty", "", 0},
      {"only blank lines", "\n\r\n\n\r\n", 0},
      {"one megabyte line", std::string(1 << 20, ';'), 1},
      {"one megabyte line without semicolons", std::string(1 << 20, 'x') + "\n", 0},
      {"no final newline", "1;2;3;4;A\n5;6;7;8;B", 2},
      {"only 0x1A", "\x1A", 0},
      {"CR only line ends", "1;2;3;4;A\r5;6;7;8;B\r", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string log = Load(c.bytes);
    EXPECT_EQ(table().count, c.ports);
    int init_lines = 0;
    for (std::size_t at = log.find("INIT: "); at != std::string::npos;
         at = log.find("INIT: ", at + 1))
      ++init_lines;
    EXPECT_EQ(init_lines, 2 * c.ports);
    ReleasePortTable();
  }
}

TEST_F(PortTableTest, TableAllocationFailureLeavesAnEmptyTable) {
  os::Os().calloc = [](std::size_t, std::size_t) -> void* { return nullptr; };
  std::string log = Load("1;2;3;4;A\n");
  EXPECT_EQ(table().count, 0);
  EXPECT_EQ(table().records, nullptr);
  EXPECT_EQ(log, "");
}

// The loader opens the port file twice; these fopen stand-ins change the world
// between the two openings.
int g_opens = 0;
std::FILE* FailSecondOpen(const char* path, const char* mode) {
  return ++g_opens == 2 ? nullptr : std::fopen(path, mode);
}
std::FILE* GrowFileBeforeSecondOpen(const char* path, const char* mode) {
  if (++g_opens == 2) {
    std::FILE* out = std::fopen(path, "ab");
    std::fputs("5;6;7;8;MORE\n9;9;9;9;EVEN\n", out);
    std::fclose(out);
  }
  return std::fopen(path, mode);
}

TEST_F(PortTableTest, SecondOpeningFailingLeavesOnlyFilledRecords) {
  g_opens = 0;
  os::Os().fopen = FailSecondOpen;
  std::string log = Load("1;2;3;4;A\n");
  EXPECT_EQ(table().count, 0);
  EXPECT_EQ(log, "");
}

TEST_F(PortTableTest, AFileGrownBetweenThePassesFillsNoMoreThanCounted) {
  g_opens = 0;
  os::Os().fopen = GrowFileBeforeSecondOpen;
  std::string log = Load("1;2;3;4;AAAA\n");
  ASSERT_EQ(table().count, 1);
  EXPECT_EQ(Label(0), "AAAA");
  EXPECT_EQ(log.find("MORE"), std::string::npos);
}

TEST_F(PortTableTest, EveryLineEndsWithCrLf) {
  std::string log = Load("1;2;3;4;A\n5;6;7;8;BCDEFG\n");
  for (std::size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1)) {
    ASSERT_GT(at, 0u);
    EXPECT_EQ(log[at - 1], '\r') << "at byte " << at;
  }
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
}

std::vector<std::string> LinesOf(LineCursor& cursor) {
  std::vector<std::string> lines;
  std::string_view line;
  while (cursor.Next(&line)) lines.emplace_back(line);
  return lines;
}

struct TextModeCase {
  std::string bytes;
  std::vector<std::string> lines;
};

const std::vector<TextModeCase>& TextModeCases() {
  static const std::vector<TextModeCase> cases = {
      {"a\r\nb", {"a", "b"}},
      {"a\rb", {"a\rb"}},
      {"a\r\r\nb", {"a\r", "b"}},
      {"ab\x1A"
       "cd\nef\n",
       {"ab"}},
      {"\x1A", {}},
      {"", {}},
      {"\r", {"\r"}},
      {"\n\r", {"", "\r"}},
      {"a\r\n\r\n", {"a", ""}},
      {"a\n", {"a"}},
      {std::string("a\0b\nc", 5), {"a", "c"}},
      {"one\n\nlast", {"one", "", "last"}},
  };
  return cases;
}

TEST(TextMode, RulesOfAWindowsTextFileFromMemory) {
  for (const TextModeCase& c : TextModeCases()) {
    LineCursor cursor(c.bytes);
    EXPECT_EQ(LinesOf(cursor), c.lines) << testing::PrintToString(c.bytes);
    EXPECT_EQ(cursor.line_number(), static_cast<int>(c.lines.size()));
  }
}

// The same bytes from a file, placed so that each rule meets the edge between two
// 64 KiB chunks: a CR at the end of one chunk and its LF at the start of the next
// is still one newline, and a line that spans chunks comes whole.
TEST(TextMode, RulesHoldAcrossTheChunksOfAFile) {
  constexpr std::size_t kChunk = 1 << 16;
  for (const TextModeCase& c : TextModeCases()) {
    for (std::size_t shift : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
      std::string filler(kChunk - shift, 'x');
      std::string bytes = filler + "\n" + c.bytes;
      // The filler line ends just before, on or after the chunk's edge.
      std::FILE* file = std::tmpfile();
      ASSERT_NE(file, nullptr);
      std::fwrite(bytes.data(), 1, bytes.size(), file);
      std::rewind(file);
      LineCursor cursor(file);
      std::vector<std::string> expected = {filler};
      expected.insert(expected.end(), c.lines.begin(), c.lines.end());
      EXPECT_EQ(LinesOf(cursor), expected) << testing::PrintToString(c.bytes) << " shift " << shift;
      std::fclose(file);
    }
  }
  // A CR LF split by the chunk edge, in the middle of a long line.
  std::string bytes = std::string(kChunk - 1, 'y') + "\r\nz";
  std::FILE* file = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  LineCursor cursor(file);
  EXPECT_EQ(LinesOf(cursor), (std::vector<std::string>{std::string(kChunk - 1, 'y'), "z"}));
  std::fclose(file);
}

}  // namespace
}  // namespace qel
