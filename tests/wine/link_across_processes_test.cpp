// The IPC link and the module DLL against the stand-in server in a process of its
// own, through the real Windows calls: what the handshake refuses, what a mapping
// name taken by another process does, and a cycle read across the boundary.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/log_stream.h"
#include "ipc/ipc_client.h"
#include "qelsim/host.h"
#include "qelsim/platform.h"
#include "server/server.h"
#include "support/temp_dir.h"

namespace qel {
namespace {

constexpr char kHoldOption[] = "--hold-mapping=";
constexpr std::uint8_t kSquatterByte = 0xA5;
constexpr DWORD kSquatterBytes = 256;

std::unique_ptr<sim::ServerLink> StartServer(const sim::ServerSettings& settings) {
  std::string error;
  std::unique_ptr<sim::ServerLink> server = sim::StartServer(settings, &error);
  EXPECT_NE(server, nullptr) << error;
  return server;
}

std::string MappingName(std::uint32_t counter) {
  char name[ipc::kMappingNameMax];
  std::snprintf(name, sizeof name, "FsasmLib:IPC:%lX:%lX",
                static_cast<unsigned long>(::GetCurrentProcessId()),
                static_cast<unsigned long>(counter));
  return name;
}

// Another process that creates a mapping under a given name, fills it with a
// pattern and holds it until its standard input closes; it exits with 0 only if
// the pattern is still whole then, i.e. nobody else wrote into its mapping.
class Squatter {
 public:
  explicit Squatter(const std::string& name) {
    char self[MAX_PATH];
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" " + kHoldOption + name;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE child_in = nullptr, child_out = nullptr;
    ::CreatePipe(&child_in, &to_child_, &inherit, 0);
    ::CreatePipe(&from_child_, &child_out, &inherit, 0);
    ::SetHandleInformation(to_child_, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(from_child_, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in;
    startup.hStdOutput = child_out;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    started_ = ::CreateProcessA(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &process_) != 0;
    ::CloseHandle(child_in);
    ::CloseHandle(child_out);
    char reply[8] = {};
    DWORD got = 0;
    ready_ = started_ && ::ReadFile(from_child_, reply, 5, &got, nullptr) && got == 5 &&
             std::memcmp(reply, "ready", 5) == 0;
  }
  ~Squatter() {
    if (started_) {
      ::TerminateProcess(process_.hProcess, 99);
      ::CloseHandle(process_.hThread);
      ::CloseHandle(process_.hProcess);
    }
    ::CloseHandle(to_child_);
    ::CloseHandle(from_child_);
  }
  Squatter(const Squatter&) = delete;
  Squatter& operator=(const Squatter&) = delete;

  bool ready() const { return ready_; }

  // Lets the squatter go and tells whether its mapping stayed as it made it.
  bool LeftAlone() {
    ::CloseHandle(to_child_);
    to_child_ = nullptr;
    DWORD status = 99;
    if (::WaitForSingleObject(process_.hProcess, 10000) == WAIT_OBJECT_0)
      ::GetExitCodeProcess(process_.hProcess, &status);
    return status == 0;
  }

 private:
  HANDLE to_child_ = nullptr;
  HANDLE from_child_ = nullptr;
  PROCESS_INFORMATION process_{};
  bool started_ = false;
  bool ready_ = false;
};

int HoldMapping(const char* name) {
  HANDLE mapping =
      ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x8000, name);
  if (mapping == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) return 2;
  auto* view = static_cast<std::uint8_t*>(::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  if (view == nullptr) return 2;
  std::memset(view, kSquatterByte, kSquatterBytes);
  std::fputs("ready", stdout);
  std::fflush(stdout);
  char c;
  while (std::fread(&c, 1, 1, stdin) == 1) {
  }
  for (DWORD i = 0; i < kSquatterBytes; ++i) {
    if (view[i] != kSquatterByte) return 1;
  }
  return 0;
}

class LinkAcrossProcesses : public ::testing::Test {
 protected:
  void SetUp() override { IpcResetForTest(); }
  void TearDown() override {
    IpcClose();
    const IpcLink& link = IpcLinkState();
    EXPECT_EQ(link.atom, 0u);
    EXPECT_EQ(link.mapping, nullptr);
    EXPECT_EQ(link.view, nullptr);
  }
};

struct HandshakeCase {
  const char* name;
  sim::ServerKind kind;
  std::uint32_t server_version;
  std::uint32_t sim_version;
  std::uint32_t requested;
  std::uint32_t code;
};

class Handshakes : public LinkAcrossProcesses,
                   public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(Handshakes, AcceptOrRefuseAsTheVersionsSay) {
  const HandshakeCase& c = GetParam();
  sim::ServerSettings settings;
  settings.kind = c.kind;
  settings.server_version = c.server_version;
  settings.sim_version = c.sim_version;
  auto server = StartServer(settings);
  ASSERT_NE(server, nullptr);

  std::uint32_t result = 99;
  EXPECT_EQ(IpcOpen(c.requested, &result), c.code == IpcOk);
  EXPECT_EQ(result, c.code) << IpcResultText(result);
  EXPECT_EQ(IpcLinkState().server_version, c.server_version);
  if (c.code != IpcOk) {
    EXPECT_EQ(IpcLinkState().view, nullptr);
    return;
  }
  EXPECT_EQ(IpcLinkState().sim_version, c.sim_version & 0xFFFF);

  // The state a host sets in the server's process comes back through the mapping.
  server::SimState state;
  state.hour = 23;
  state.minute = 59;
  state.second = 58;
  state.visibility_raw = 250;
  state.latitude_raw = -1234567890123;
  state.light_word = 0x8001;
  ASSERT_TRUE(server::ServerSendState(server->window(), state));
  std::uint8_t clock[3] = {};
  std::uint16_t visibility = 0, light = 0;
  std::int64_t latitude = 0;
  EXPECT_TRUE(IpcRead(0x0238, 3, clock, &result));
  EXPECT_TRUE(IpcRead(0x0E8A, 2, &visibility, &result));
  EXPECT_TRUE(IpcRead(0x0560, 8, &latitude, &result));
  EXPECT_TRUE(IpcRead(0x0DDE, 2, &light, &result));
  std::uint16_t cleared = 0x0001;
  EXPECT_TRUE(IpcWrite(0x0DDE, 2, &cleared, &result));
  ASSERT_TRUE(IpcProcess(&result)) << IpcResultText(result);
  EXPECT_EQ(clock[0], 23);
  EXPECT_EQ(clock[1], 59);
  EXPECT_EQ(clock[2], 58);
  EXPECT_EQ(visibility, 250);
  EXPECT_EQ(latitude, -1234567890123);
  EXPECT_EQ(light, 0x8001) << "read before the write queued after it";
  EXPECT_EQ(server::ServerQueryLightWord(server->window()), 0x0001);
}

constexpr std::uint32_t kOld = 0x19980004;
constexpr std::uint32_t kNew = 0x19980005;
constexpr std::uint32_t kSim9 = 0xFADE0009;
constexpr std::uint32_t kNoPattern = 0x12340009;

INSTANTIATE_TEST_SUITE_P(
    Table, Handshakes,
    ::testing::Values(
        HandshakeCase{"Accepted", sim::ServerKind::kIpcServer, kNew, kSim9, 0, IpcOk},
        HandshakeCase{"NetworkClientAccepted", sim::ServerKind::kNetworkClient, kNew, kSim9, 0,
                      IpcOk},
        HandshakeCase{"RequestedVersionMatches", sim::ServerKind::kIpcServer, kNew, kSim9, 9,
                      IpcOk},
        HandshakeCase{"OldServer", sim::ServerKind::kIpcServer, kOld, kSim9, 0, IpcBadVersion},
        HandshakeCase{"NoPattern", sim::ServerKind::kIpcServer, kNew, kNoPattern, 0, IpcBadVersion},
        HandshakeCase{"OldServerBehindNetworkClient", sim::ServerKind::kNetworkClient, kOld, kSim9,
                      0, IpcServerNotRunning},
        HandshakeCase{"NoPatternBehindNetworkClient", sim::ServerKind::kNetworkClient, kNew,
                      kNoPattern, 0, IpcServerNotRunning},
        HandshakeCase{"OtherSimVersion", sim::ServerKind::kIpcServer, kNew, kSim9, 8, IpcWrongSim}),
    [](const ::testing::TestParamInfo<HandshakeCase>& param) { return param.param.name; });

TEST_F(LinkAcrossProcesses, NoServerWindowCreatesNothing) {
  std::uint32_t result = 99;
  std::uint32_t counter = IpcLinkState().open_counter;
  EXPECT_FALSE(IpcOpen(0, &result));
  EXPECT_EQ(result, IpcNoServer);
  EXPECT_EQ(IpcLinkState().open_counter, counter) << "no name was used up";
  EXPECT_EQ(::GlobalFindAtomA(MappingName(counter + 1).c_str()), 0);
}

TEST_F(LinkAcrossProcesses, AMappingNameTakenByAnotherProcessIsNotUsed) {
  auto server = StartServer({});
  ASSERT_NE(server, nullptr);
  const std::uint32_t next = IpcLinkState().open_counter + 1;
  Squatter squatter(MappingName(next));
  ASSERT_TRUE(squatter.ready());

  std::uint32_t result = 99;
  EXPECT_FALSE(IpcOpen(0, &result));
  EXPECT_EQ(result, IpcNoMapping);
  EXPECT_EQ(IpcLinkState().mapping, nullptr);
  EXPECT_EQ(::GlobalFindAtomA(MappingName(next).c_str()), 0) << "its atom was deleted";
  // The next opening takes the next name, which is free.
  EXPECT_TRUE(IpcOpen(0, &result));
  EXPECT_EQ(result, IpcOk);
  IpcClose();
  EXPECT_TRUE(squatter.LeftAlone());
}

// The module DLL in a host of this process: the first cycle's name is taken,
// so that cycle logs the failure, and the next cycle opens under the next name.
TEST(ModuleAcrossProcesses, ACycleWhoseMappingNameIsTakenSkipsOnlyThatCycle) {
  auto server = StartServer({});
  ASSERT_NE(server, nullptr);
  server::SimState state;
  state.hour = 6;
  state.minute = 7;
  state.second = 8;
  state.visibility_raw = 250;
  state.latitude_raw = 0;
  state.longitude_raw = 0;
  state.light_word = 0x0001;
  ASSERT_TRUE(server::ServerSendState(server->window(), state));
  test::TempSimDir dir;
  dir.WriteModuleFile("Qel.ini", "0;0;5.0;30;ZERO\r\n");
  Squatter squatter(MappingName(1));  // the DLL's first opening in this process
  ASSERT_TRUE(squatter.ready());

  sim::ModuleLibrary library;
  std::string error;
  ASSERT_TRUE(
      sim::LoadModuleLibrary(sim::ExecutableDir() + "\\" + sim::kModuleFileName, &library, &error))
      << error;
  sim::AttachHost(library.import_table);
  library.linkage->start();
  for (int i = 0; i < 32; ++i) sim::RaiseHostEvent(kEventTick);
  library.linkage->stop();
  sim::UnloadModuleLibrary(&library);

  std::string log = dir.ReadModuleFile("Qel.log");
  std::size_t first = log.find("Sys_1Hz: Click! ");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.substr(first),
            "Sys_1Hz: Click! QEL module IPC server not opened !\r\n"
            "Sys_1Hz: Click! Time: FS clock = 06:07:08 \r\n"
            "LIGHTS ON: Port 1, Visibility - 3.218000 km: lat: 0.000000, lon: 0.000000, "
            "Aircraft lat: 0.000000, lon: 0.000000, Range:  0.000000 km\r\n"
            "Module deinit OK!\r\n");
  EXPECT_EQ(server::ServerQueryLightWord(server->window()), 0x8001);
  EXPECT_TRUE(squatter.LeftAlone());
}

}  // namespace
}  // namespace qel

int main(int argc, char** argv) {
  if (argc == 2 && std::strncmp(argv[1], qel::kHoldOption, sizeof qel::kHoldOption - 1) == 0)
    return qel::HoldMapping(argv[1] + sizeof qel::kHoldOption - 1);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
