// Every Windows call the module makes, failed at each of its calls in turn over a
// whole session, and the file side broken in the ways a pilot's disk breaks: no
// crash, nothing left alive, a log of whole lines, no light bit invented, and
// the next cycle sound once the fault is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "config/port_table.h"
#include "ipc/ipc_block.h"
#include "ipc/ipc_client.h"
#include "light/evaluation.h"
#include "os/os_calls.h"
#include "qelsim/host.h"
#include "support/fault_injector.h"
#include "support/module_fixture.h"
#include "support/module_run.h"
#include "support/standin_fixture.h"

namespace qel {
namespace {

using test::Count;
using test::Failure;
using test::Fault;
using test::FaultInjector;
using test::ModuleRun;
using test::OsFunction;

// Ports 1 and 3 lie half a kilometre either side of the aircraft's spot; port 2 is far away.
constexpr const char* kPorts =
    "55.97;37.41;5.0;30.0;SVO\r\n"
    "\r\n"
    "a comment; not a port\r\n"
    "48.0;2.0;10;50;FAR\r\n"
    "55.98;37.42;3.0;40.0;NEAR\r\n";
constexpr double kNearLat = 55.975, kNearLon = 37.415;
constexpr std::uint16_t kWord = 0x5A5A;  // bit 15 clear, the others a pattern to keep

struct Cycle {
  double lat, lon;
  std::uint16_t visibility;
};
#ifdef _WIN32
// With the real calls every opening pauses for real: a cycle with mixed decisions
// and one with no port in range reach every call site.
constexpr Cycle kCycles[] = {{kNearLat, kNearLon, 250}, {0, 0, 250}};
#else
// Mixed decisions, no port in range, all on.
constexpr Cycle kCycles[] = {{kNearLat, kNearLon, 250}, {0, 0, 250}, {kNearLat, kNearLon, 150}};
#endif

struct Plan {
  const char* ini = kPorts;
  std::function<void(ModuleRun&)> before_start;
  std::function<void()> after_start;
  bool log_writable = true;
};

// One session: start, the cycles above, one more with the injector paused, then
// stop. Returns what went wrong.
std::vector<std::string> RunSession(FaultInjector* injector, const std::optional<Fault>& fault,
                                    const Plan& plan) {
  std::vector<std::string> problems;
  // Counted from the module's calls, and as the platform itself sees it.
  auto check_live = [&problems, injector](const char* when) {
    std::string live = test::LiveObjects(injector);
    if (injector != nullptr && !injector->Live().empty()) live += "(counted) " + injector->Live();
    if (!live.empty()) problems.push_back(std::string(when) + ": alive: " + live);
  };
  ModuleRun run;
  run.SetLightWord(kWord);
  if (plan.before_start) plan.before_start(run);
  // The server is up; from here on every call is the module's.
  if (injector != nullptr) {
    injector->ResetCounts();
    if (fault) injector->Arm(*fault);
  }
  run.Start(plan.ini);
  if (plan.after_start) plan.after_start();
  check_live("after start");

  for (const Cycle& cycle : kCycles) {
    run.Fly(cycle.lat, cycle.lon, cycle.visibility);
    const int writes_before = run.light_writes();
    const std::uint16_t word_before = run.server().LightWord();
    run.Tick(16);
    check_live("after a cycle");
    if (cycle.lat == 0 &&
        (run.light_writes() != writes_before || run.server().LightWord() != word_before)) {
      problems.push_back("the light word was touched with no port in range");
    }
  }

  // The fault lifted: the next cycle does all its work.
  if (injector != nullptr) injector->Pause(true);
  run.SetLightWord(kWord);
  run.Fly(kNearLat, kNearLon, 150);
  const std::string log_before = run.Log();
  const int writes_before = run.light_writes();
  run.Tick(16);
  check_live("after the cycle without fault");
  const std::string added = run.Log().substr(std::min(log_before.size(), run.Log().size()));
  // The ports the table holds near the spot, by number; each gets its write and its line.
  std::vector<int> near;
  const PortTable& table = ThePortTable();
  for (int i = 0; i < table.count; ++i) {
    const PortRecord& port = table.records[i];
    if (InRange(port, DistanceKm(port.latitude, port.longitude, kNearLat, kNearLon))) {
      near.push_back(i + 1);
    }
  }
  const int writes = run.light_writes() - writes_before;
  if (table.count == 0) {
    if (!added.empty() || writes != 0) problems.push_back("a cycle ran without ports");
  } else {
    const std::uint16_t expected = near.empty() ? kWord : kWord | 0x8000;
    if (run.server().LightWord() != expected || writes != static_cast<int>(near.size())) {
      problems.push_back("the cycle after the fault did not set the light bit for every port");
    }
    bool logged = added.rfind("Sys_1Hz: Click! Time: FS clock = 12:00:00 \r\n", 0) == 0 &&
                  Count(added, "\r\n") == 1 + static_cast<int>(near.size());
    for (int port : near) {
      logged = logged && Count(added, "LIGHTS ON: Port " + std::to_string(port) + ",") == 1;
    }
    if (plan.log_writable && !logged) {
      problems.push_back("the cycle after the fault logged:\n" + added);
    }
  }
  if (injector != nullptr) injector->Pause(false);

  run.Stop();
  check_live("after stop");
  if (sim::LiveRegistrations() != 0) problems.push_back("handlers left registered");
  if (sim::UnexpectedHostCalls() != 0) problems.push_back("unexpected host calls");
  if (!run.light_violation().empty()) problems.push_back(run.light_violation());
  const std::string log_problem = test::LogProblems(run.Log());
  if (!log_problem.empty()) problems.push_back(log_problem);
  if (injector != nullptr) injector->Disarm();
  return problems;
}

std::string Joined(const std::vector<std::string>& problems) {
  std::string text;
  for (const std::string& problem : problems) text += "\n  " + problem;
  return text;
}

class FaultSweepTest : public test::StandinFixture {};

TEST_F(FaultSweepTest, EveryCallOfEveryFunctionFailsInTurn) {
  FaultInjector injector;
#ifdef _WIN32
  // A server on the test's own thread is called directly and never hangs; a hang
  // is the injector's, and need not cost the sender's real wait.
  injector.SetQuickTimeOuts(true);
#endif
  const std::vector<std::string> clean = RunSession(&injector, std::nullopt, {});
  ASSERT_TRUE(clean.empty()) << "the session fails without any fault:" << Joined(clean);
  ASSERT_EQ(injector.injected(), 0u);
  std::uint32_t reached[test::kOsFunctionCount];
  for (std::size_t f = 0; f < test::kOsFunctionCount; ++f) {
    reached[f] = injector.Calls(static_cast<OsFunction>(f));
  }
  // The session must reach every call site the sweep is meant to cover.
  for (OsFunction f :
       {OsFunction::kFindWindowExA, OsFunction::kRegisterWindowMessageA, OsFunction::kWsprintfA,
        OsFunction::kGlobalAddAtomA, OsFunction::kGlobalDeleteAtom, OsFunction::kCreateFileMappingA,
        OsFunction::kMapViewOfFile, OsFunction::kUnmapViewOfFile, OsFunction::kCloseHandle,
        OsFunction::kSendMessageTimeoutA, OsFunction::kGetLastError, OsFunction::kFopen,
        OsFunction::kCalloc}) {
    EXPECT_GT(reached[static_cast<std::size_t>(f)], 0u) << test::Name(f);
  }

  int points = 0, failed = 0;
  for (std::size_t f = 0; f < test::kOsFunctionCount; ++f) {
    const auto function = static_cast<OsFunction>(f);
    for (Failure failure : test::FailuresOf(function)) {
      for (std::uint32_t n = 1; n <= reached[f]; ++n) {
        // Once, for good, and for one whole exchange's attempts in a row.
        std::vector<std::uint32_t> runs = {1, Fault::kForever};
        if (function == OsFunction::kSendMessageTimeoutA) runs.push_back(ipc::kSendAttempts);
        for (std::uint32_t times : runs) {
          const Fault fault{function, failure, n, times};
          const std::vector<std::string> problems = RunSession(&injector, fault, {});
          ++points;
          if (injector.injected() == 0) {
            ADD_FAILURE() << fault.Describe() << ": never reached";
          } else if (!problems.empty() && ++failed <= 20) {
            ADD_FAILURE() << fault.Describe() << ":" << Joined(problems);
          }
        }
      }
    }
  }
  EXPECT_EQ(failed, 0);
  std::cout << "fault sweep: " << points << " fault points over one session each, " << failed
            << " failed\n";
  RecordProperty("fault_points", points);
}

// fopen stand-ins that change the port file between the loader's two readings.
int g_ini_opens = 0;
std::function<void(const char* path)> g_between_passes;
std::FILE* OpenChangingIni(const char* path, const char* mode) {
  if (std::string(path).find("Qel.ini") != std::string::npos && ++g_ini_opens == 2 &&
      g_between_passes) {
    std::string native(path);
    std::replace(native.begin(), native.end(), '\\', '/');
    g_between_passes(native.c_str());
  }
  return os::DefaultOsCalls().fopen(path, mode);
}

void Rewrite(const char* path, const std::string& bytes) {
  std::FILE* out = std::fopen(path, "wb");
  ASSERT_NE(out, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fclose(out);
}

TEST_F(FaultSweepTest, TheFileSideBreaks) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    const char* ini;
    std::function<void(const char*)> between_passes;  // on the port file
    std::function<void(ModuleRun&)> before_start;
    bool log_writable;
    int ports;  // the table the start leaves
  };
  const Case cases[] = {
      {"the modules folder missing", nullptr, nullptr,
       [](ModuleRun& run) { fs::remove_all(fs::path(run.dir().path()) / "modules"); }, false, 0},
      {"the log a folder, so that it never opens", kPorts, nullptr,
       [](ModuleRun& run) { fs::create_directory(fs::path(run.dir().path()) / "modules/Qel.log"); },
       false, 3},
      {"the port file gone between its two passes", kPorts,
       [](const char* path) { fs::remove(path); }, nullptr, true, 0},
      {"the port file grown between its passes", kPorts,
       [](const char* path) {
         Rewrite(path, std::string(kPorts) + "55.97;37.41;9;30;MORE\r\n1;1;1;1;EVEN\r\n");
       },
       nullptr, true, 3},
      {"the port file shrunk to one port between its passes", kPorts,
       [](const char* path) { Rewrite(path, "55.97;37.41;5.0;30.0;SVO\r\n"); }, nullptr, true, 1},
      {"the port file turned to binary between its passes", kPorts,
       [](const char* path) { Rewrite(path, std::string("\0\xFF;\x1A;;;\n", 9)); }, nullptr, true,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_ini_opens = 0;
    g_between_passes = c.between_passes;
    test::OsOverride changing(&os::OsCalls::fopen, OpenChangingIni);
    FaultInjector counting;  // no fault: it counts the module's objects
    int ports = -1;
    Plan plan;
    plan.ini = c.ini;
    plan.before_start = c.before_start;
    plan.after_start = [&ports] { ports = ThePortTable().count; };
    plan.log_writable = c.log_writable;
    const std::vector<std::string> problems = RunSession(&counting, std::nullopt, plan);
    EXPECT_TRUE(problems.empty()) << Joined(problems);
    EXPECT_EQ(ports, c.ports);
  }
  g_between_passes = nullptr;
}

// A server that answers 1 but leaves a read unanswered: the walk stops at a record
// of unknown type before the light word's, so the exchange works and yet the word
// was never read. Its bits must not be invented.
TEST_F(FaultSweepTest, AnUnansweredLightWordReadIsNeverWrittenBack) {
  struct Case {
    const char* what;
    std::uint32_t type;  // put over the light-word read's type
  };
  const Case cases[] = {{"unknown type", 9}, {"end record", ipc::kRecordEnd}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModuleRun run;
    run.SetTamper([&c](std::uint8_t* block, std::size_t) {
      if (ipc::Get32(block) == ipc::kRecordRead && ipc::Get32(block + 4) == offset::kLightWord) {
        ipc::Put32(block, c.type);
      }
    });
    run.SetLightWord(kWord);
    run.Fly(kNearLat, kNearLon, 150);
    run.Start(kPorts);
    run.Tick(16);
    EXPECT_EQ(run.light_violation(), "");
    EXPECT_EQ(run.light_writes(), 0);
    EXPECT_EQ(run.server().LightWord(), kWord);
    EXPECT_EQ(test::LogProblems(run.Log()), "");
    EXPECT_NE(run.Log().find("Request for lights failed: "), std::string::npos) << run.Log();
    run.Stop();
  }
}

// The sweep's log check itself: it must tell whole lines from broken ones.
TEST(LogCheck, TellsWholeLinesFromBrokenOnes) {
  const std::string lights =
      "LIGHTS OFF: Port 3, Visibility - 1.609000 km: lat: 55.980000, lon: 37.420000, Aircraft "
      "lat: 55.975000, lon: 37.415000, Range:  0.637265 km";
  const struct {
    std::string log;
    bool sound;
  } cases[] = {
      {"", true},
      {"Module init OK!\r\nINIT: 1  - s1-a s2-b s3-c s4-d s5-\r\r\nModule deinit OK!\r\n", true},
      {"Sys_1Hz: Click! Time: FS clock = 12:-5:00 \r\n" + lights + "\r\n", true},
      {"Sys_1Hz: Click! Request for time failed: IPC timed out all retries\r\n", true},
      {"Sys_1Hz: Click! QEL module IPC server not opened !\r\n", true},
      {"Module init OK!\n", false},
      {"Module init OK!\r\nSys_1Hz: Click! ", false},
      {"Sys_1Hz: Click! \r\n", false},
      {"Request for lights failed: Okay.\r\n", false},
      {"Request for lights failed: \r\n", false},
      {lights.substr(0, lights.size() - 4) + "\r\n", false},
      {"INIT: Lat - 1.5; Lon - 0.000000; Qelmarin - 0.000000; Range - 0.000000\r\n", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(test::LogProblems(c.log).empty(), c.sound) << c.log;
  }
}

}  // namespace
}  // namespace qel
