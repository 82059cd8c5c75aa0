// The light control cycle through the host's event: its rhythm, its decisions,
// its log lines and what it does when an exchange fails.
#include <gtest/gtest.h>

#include <string>

#include "ipc/ipc_client.h"
#include "support/module_fixture.h"

namespace qel {
namespace {

using test::Count;

constexpr const char* kTwoPorts =
    "10;20;5.0;30;AAAA\r\n"
    "10;20.1;3.0;30;BBBB\r\n";

class CycleTest : public test::ModuleFixture {
 protected:
  // The log lines the cycles wrote, after the start's lines.
  std::string CycleLog() const {
    std::string log = Log();
    std::size_t first = log.find("Sys_1Hz");
    return first == std::string::npos ? "" : log.substr(first);
  }
};

TEST_F(CycleTest, EmptyTableNeverCountsNorOpensAnything) {
  Start(nullptr);
  std::string after_start = Log();
  Tick(100);
  EXPECT_EQ(Log(), after_start);
  EXPECT_EQ(server_->requests(), 0u);
  Stop();
  // Nothing was counted while the table was empty: the 16th call after a start with ports works.
  Start("10;20;5.0;30;AAAA\n");
  Fly(50, 50, 1000);
  Tick(15);
  EXPECT_EQ(Count(Log(), "Sys_1Hz"), 0);
  Tick(1);
  EXPECT_EQ(Count(Log(), "Sys_1Hz"), 1);
}

TEST_F(CycleTest, EverySixteenthCallWorks) {
  Start(kTwoPorts);
  Fly(50, 50, 1000);
  for (int call = 1; call <= 48; ++call) {
    Tick(1);
    int expected = call / 16;
    ASSERT_EQ(Count(Log(), "Sys_1Hz: Click! "), expected) << "after call " << call;
  }
}

TEST_F(CycleTest, OutOfRangeLeavesTheLightWordAlone) {
  Start(kTwoPorts);
  Fly(50, 50, 100);
  server_->Write(offset::kLightWord, "\x34\x12", 2);
  Tick(16);
  EXPECT_EQ(CycleLog(), "Sys_1Hz: Click! Time: FS clock = 12:00:00 \r\n");
  EXPECT_EQ(server_->LightWord(), 0x1234);
  // One handshake exchange, then clock, visibility, latitude and longitude: no light word.
  EXPECT_EQ(server_->requests(), server_->handshakes() + 4);
}

struct DecisionCase {
  const char* ini;
  std::uint16_t light_before;
  std::uint16_t light_after;
  const char* line;
};

class CycleDecisions : public CycleTest, public ::testing::WithParamInterface<DecisionCase> {};

TEST_P(CycleDecisions, SetOrClearBit15AndLogTheDecision) {
  const DecisionCase& c = GetParam();
  Start(c.ini);
  Fly(10, 20, 250);  // 2.5 statute miles: 2 whole miles, 3.218 km
  std::uint8_t word[2] = {static_cast<std::uint8_t>(c.light_before),
                          static_cast<std::uint8_t>(c.light_before >> 8)};
  server_->Write(offset::kLightWord, word, 2);
  Tick(16);
  EXPECT_EQ(server_->LightWord(), c.light_after);
  EXPECT_EQ(CycleLog(), std::string("Sys_1Hz: Click! Time: FS clock = 12:00:00 \r\n") + c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CycleDecisions,
    ::testing::Values(
        DecisionCase{"10;20;5.0;30;AAAA\n", 0x1234, 0x9234,
                     "LIGHTS ON: Port 1, Visibility - 3.218000 km: lat: 10.000000, lon: 20.000000, "
                     "Aircraft lat: 10.000000, lon: 20.000000, Range:  0.000000 km\r\n"},
        DecisionCase{"10;20;3.0;30;AAAA\n", 0xFFFF, 0x7FFF,
                     "LIGHTS OFF: Port 1, Visibility - 3.218000 km: lat: 10.000000, lon: "
                     "20.000000, Aircraft lat: 10.000000, lon: 20.000000, Range:  0.000000 km\r\n"},
        // A threshold equal to the visibility is lights off.
        DecisionCase{"10;20;3.218;30;AAAA\n", 0x8000, 0x0000,
                     "LIGHTS OFF: Port 1, Visibility - 3.218000 km: lat: 10.000000, lon: "
                     "20.000000, Aircraft lat: 10.000000, lon: 20.000000, Range:  0.000000 km\r\n"},
        // Two ports in range: each reads and writes the word, the later one decides.
        DecisionCase{
            kTwoPorts, 0x0001, 0x0001,
            "LIGHTS ON: Port 1, Visibility - 3.218000 km: lat: 10.000000, lon: 20.000000, "
            "Aircraft lat: 10.000000, lon: 20.000000, Range:  0.000000 km\r\n"
            "LIGHTS OFF: Port 2, Visibility - 3.218000 km: lat: 10.000000, lon: "
            "20.100000, Aircraft lat: 10.000000, lon: 20.000000, Range:  10.953648 km\r\n"},
        // A port whose range is 0 is never in range, even right above it.
        DecisionCase{"10;20;5.0;0;AAAA\n", 0x0000, 0x0000, ""}));

TEST_F(CycleTest, TwoPortsInRangeWriteTheWordTwice) {
  Start(kTwoPorts);
  Fly(10, 20, 250);
  Tick(16);
  // Handshake, clock, visibility, latitude, longitude, then a read and a write per port.
  EXPECT_EQ(server_->requests(), server_->handshakes() + 4 + 2 * 2);
}

TEST_F(CycleTest, AFailedClockReadStillLetsTheLightWorkRun) {
  // Request 1 is the handshake; requests 2 to 10 are the clock's nine attempts.
  server_->options().ignore_from = 2;
  server_->options().ignore_to = 10;
  Start("10;20;5.0;30;AAAA\n");
  Fly(10, 20, 250);
  Tick(16);
  std::string log = CycleLog();
  EXPECT_EQ(log.substr(0, log.find("LIGHTS")),
            "Sys_1Hz: Click! Request for time failed: IPC sendmessage failed all retries\r\n");
  EXPECT_EQ(Count(log, "LIGHTS ON: Port 1"), 1);
  EXPECT_EQ(server_->LightWord(), 0x8000);
}

TEST_F(CycleTest, NoServerMeansOneLineAndNothingElse) {
  server_.reset();
  Start("10;20;5.0;30;AAAA\n");
  Tick(16);
  EXPECT_EQ(CycleLog(), "Sys_1Hz: Click! QEL module IPC server not opened !\r\n");
}

struct FailureCase {
  std::uint32_t first_ignored;  // requests from here to +8 time out: one whole exchange
  const char* line;
};

class CycleFailures : public CycleTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CycleFailures, EndTheCycleWithALineAndNoFurtherRequest) {
  const FailureCase& c = GetParam();
  server_->options().ignore_from = c.first_ignored;
  server_->options().ignore_to = c.first_ignored + 8;
  Start("10;20;5.0;30;AAAA\n");
  Fly(10, 20, 250);
  server_->Write(offset::kLightWord, "\x01\x00", 2);
  Tick(16);
  std::string log = CycleLog();
  EXPECT_EQ(log.substr(log.size() - std::string(c.line).size()), c.line);
  EXPECT_EQ(server_->requests(), c.first_ignored + 8) << "no request after the failed one";
  EXPECT_EQ(server_->LightWord(), 0x0001) << "a failed exchange never leads to a write";
  // The link and the log were closed: the next cycle works.
  server_->options().ignore_from = server_->options().ignore_to = 0;
  Tick(16);
  EXPECT_EQ(Count(Log(), "LIGHTS ON: Port 1"), 1);
  EXPECT_EQ(server_->LightWord(), 0x8001);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CycleFailures,
    ::testing::Values(
        FailureCase{3, "Request for visibility failed: IPC sendmessage failed all retries\r\n"},
        FailureCase{4, "Request for position failed: IPC sendmessage failed all retries\r\n"},
        FailureCase{5, "Request for position failed: IPC sendmessage failed all retries\r\n"},
        FailureCase{6, "Request for lights failed: IPC sendmessage failed all retries\r\n"}));

TEST_F(CycleTest, TheLightIsControlledWhenTheLogCannotBeOpened) {
  Start("10;20;5.0;30;AAAA\n");
  Fly(10, 20, 250);
  std::string before = Log();
  test::OsOverride no_files(&os::OsCalls::fopen,
                            [](const char*, const char*) -> std::FILE* { return nullptr; });
  Tick(16);
  EXPECT_EQ(server_->LightWord(), 0x8000);
  EXPECT_EQ(Log(), before);
}

TEST_F(CycleTest, ClockBytesAreSignedAndPadded) {
  Start("10;20;5.0;30;AAAA\n");
  Fly(50, 50, 1000);
  server_->Write(offset::kClock, "\x07\x05\xF0", 3);
  Tick(16);
  EXPECT_EQ(CycleLog(), "Sys_1Hz: Click! Time: FS clock = 07:05:-16 \r\n");
}

}  // namespace
}  // namespace qel
