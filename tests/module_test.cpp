// The module's lifecycle as its host sees it: the exported records, the start
// and stop entries, the registrations and the log they leave.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/port_table.h"
#include "module/linkage.h"
#include "qelsim/host.h"
#include "support/module_fixture.h"

namespace qel {
namespace {

using test::Count;

class ModuleTest : public test::ModuleFixture {};

TEST_F(ModuleTest, ExportedRecordsHoldTheirWords) {
  EXPECT_EQ(ImportTable[0].id, 0x0Fu);
  EXPECT_EQ(ImportTable[1].id, 0x01u);
  EXPECT_EQ(ImportTable[2].id, 0x19u);
  EXPECT_EQ(ImportTable[3].id, 0u);
  EXPECT_EQ(ImportTable[3].table, nullptr);
  EXPECT_EQ(Linkage.tag, 0x13u);
  EXPECT_EQ(Linkage.start, &StartModule);
  EXPECT_EQ(Linkage.stop, &StopModule);
  EXPECT_EQ(Linkage.flags, 0x900u);
  EXPECT_EQ(Linkage.reserved1 | Linkage.reserved2 | Linkage.reserved3, 0u);
  EXPECT_EQ(sizeof(LinkageRecord), 7 * sizeof(void*));
  EXPECT_EQ(sizeof(ImportTable), 8 * sizeof(void*));
}

TEST_F(ModuleTest, StartAndStopRegisterAndUnregisterInReverseOrder) {
  Start("10;20;5.0;30;AAAA\n");
  Stop();
  EXPECT_EQ(sim::HostJournal(),
            (std::vector<std::string>{"init call", "register event 2", "register event 3",
                                      "register event 36", "register callback",
                                      "unregister callback", "unregister event 36",
                                      "unregister event 3", "unregister event 2"}));
  EXPECT_EQ(sim::LiveRegistrations(), 0);
  EXPECT_EQ(sim::UnexpectedHostCalls(), 0);
}

TEST_F(ModuleTest, TheLogOfARunInOrder) {
  Start("10;20;5.0;30;AAAA\n30;40;5;30;BBBB\n");
  Fly(10, 20, 250);
  Tick(16);
  Stop();
  std::string log = Log();
  EXPECT_EQ(log.rfind("Module init OK!\r\n"
                      "INIT: 1  - s1-10 s2-20 s3-5.0 s4-30 s5-AAAA\r\n"
                      "INIT: Lat - 10.000000; Lon - 20.000000; Qelmarin - 5.000000; Range - "
                      "30.000000\r\n"
                      "INIT: 2  - s1-30 s2-40 s3-5 s4-30 s5-BBBB\r\n"
                      "INIT: Lat - 30.000000; Lon - 40.000000; Qelmarin - 5.000000; Range - "
                      "30.000000\r\n"
                      "Sys_1Hz: Click! Time: FS clock = 12:00:00 \r\n"
                      "LIGHTS ON: Port 1",
                      0),
            0u);
  EXPECT_EQ(log.substr(log.size() - 19), "Module deinit OK!\r\n");
  EXPECT_EQ(Count(log, "\n"), Count(log, "\r\n"));
}

TEST_F(ModuleTest, AStopAfterAStartWithoutPortFile) {
  Start(nullptr);
  Tick(40);
  Stop();
  EXPECT_EQ(Log(), "Module init OK!\r\nUnable open QEL.INI!\r\nModule deinit OK!\r\n");
  EXPECT_EQ(ThePortTable().count, 0);
}

TEST_F(ModuleTest, EveryStartEmptiesTheLog) {
  Start("10;20;5.0;30;AAAA\n");
  Stop();
  Start(nullptr);
  EXPECT_EQ(Log(), "Module init OK!\r\nUnable open QEL.INI!\r\n");
}

TEST_F(ModuleTest, StartsAndStopsWithoutALog) {
  test::OsOverride no_files(&os::OsCalls::fopen, [](const char* path, const char* mode) {
    return std::string(path).find("Qel.log") != std::string::npos ? nullptr
                                                                  : std::fopen(path, mode);
  });
  Start("10;20;5.0;30;AAAA\n");
  EXPECT_EQ(ThePortTable().count, 1);
  EXPECT_EQ(sim::LiveRegistrations(), 4);
  Fly(10, 20, 250);
  Tick(16);
  EXPECT_EQ(server_->LightWord(), 0x8000);
  Stop();
  EXPECT_EQ(sim::LiveRegistrations(), 0);
  EXPECT_EQ(Log(), "");
}

}  // namespace
}  // namespace qel
