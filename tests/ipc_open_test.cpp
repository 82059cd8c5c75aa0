// Opening the link: finding the server, the uniquely named block and its atom,
// the version handshake, and that every failed opening releases what it took.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ipc/ipc_client.h"
#include "server/server.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"

namespace qel {
namespace {

using server::Server;
using server::ServerOptions;
using server::WindowClass;

class IpcOpenTest : public test::StandinFixture {
 protected:
  void TearDown() override {
    IpcClose();
    StandinFixture::TearDown();
  }
  // Opens with `requested` and returns the code; `opened` tells what IpcOpen returned.
  std::uint32_t Open(std::uint32_t requested = 0, bool* opened = nullptr) {
    std::uint32_t result = 99;
    const bool ok = IpcOpen(requested, &result);
    if (opened != nullptr) *opened = ok;
    EXPECT_EQ(ok, result == IpcOk);
    return result;
  }
  static void ExpectClosed() {
    const IpcLink& link = IpcLinkState();
    EXPECT_EQ(link.atom, 0);
    EXPECT_EQ(link.mapping, nullptr);
    EXPECT_EQ(link.view, nullptr);
    EXPECT_EQ(link.message, 0u);
  }
};

TEST_F(IpcOpenTest, OpensWithOneHandshakeAndLeavesTheSimulatorVersion) {
  Server server;
  EXPECT_EQ(Open(), IpcOk);
  const IpcLink& link = IpcLinkState();
  EXPECT_EQ(link.server_window, server.window());
  EXPECT_NE(link.message, 0u);
  EXPECT_NE(link.atom, 0);
  EXPECT_NE(link.mapping, nullptr);
  EXPECT_NE(link.view, nullptr);
  EXPECT_EQ(link.next, link.view);
  EXPECT_EQ(link.server_version, server::kDefaultServerVersion);
  EXPECT_EQ(link.sim_version, 7u);
  EXPECT_EQ(link.open_counter, 1u);
  EXPECT_EQ(server.requests(), 1u);
  EXPECT_EQ(server.client_version(), std::optional<std::uint16_t>(2002));
  EXPECT_EQ(standin::NowMs(), 100u) << "one exchange and its pause";
}

TEST_F(IpcOpenTest, ChecksTheServerAndSimulatorVersions) {
  struct Case {
    const char* what;
    WindowClass window_class;
    std::uint32_t server_version;
    std::uint32_t sim_word;
    std::uint32_t requested;
    std::uint32_t code;
    std::uint32_t sim_version_after;
  };
  const Case cases[] = {
      {"lowest server version", WindowClass::kIpcServer, 0x19980005, 0xFADE0007, 0, IpcOk, 7},
      {"server version too old", WindowClass::kIpcServer, 0x19980004, 0xFADE0007, 0, IpcBadVersion,
       0xFADE0007},
      {"compared unsigned", WindowClass::kIpcServer, 0x80000000, 0xFADE0007, 0, IpcOk, 7},
      {"old server, network client", WindowClass::kNetworkClient, 0x19980004, 0xFADE0007, 0,
       IpcServerNotRunning, 0xFADE0007},
      {"no pattern", WindowClass::kIpcServer, 0x19980005, 0xFADF0007, 0, IpcBadVersion, 0xFADF0007},
      {"pattern in the low half", WindowClass::kIpcServer, 0x19980005, 0x0007FADE, 0, IpcBadVersion,
       0x0007FADE},
      {"no pattern, network client", WindowClass::kNetworkClient, 0x19980005, 0xFADF0007, 0,
       IpcServerNotRunning, 0xFADF0007},
      {"network client that passes", WindowClass::kNetworkClient, 0x19980005, 0xFADE0007, 0, IpcOk,
       7},
      {"requested version", WindowClass::kIpcServer, 0x19980005, 0xFADE0007, 7, IpcOk, 7},
      {"other version requested", WindowClass::kIpcServer, 0x19980005, 0xFADE0007, 6, IpcWrongSim,
       7},
      {"high bits in the request", WindowClass::kIpcServer, 0x19980005, 0xFADE0007, 0x00010007,
       IpcWrongSim, 7},
      {"pattern in the request", WindowClass::kIpcServer, 0x19980005, 0xFADE0007, 0xFADE0007,
       IpcWrongSim, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Server server(ServerOptions{.window_class = c.window_class,
                                .server_version = c.server_version,
                                .sim_version_word = c.sim_word});
    bool opened = false;
    EXPECT_EQ(Open(c.requested, &opened), c.code);
    EXPECT_EQ(IpcLinkState().server_version, c.server_version);
    EXPECT_EQ(IpcLinkState().sim_version, c.sim_version_after);
    if (opened) {
      IpcClose();
    } else {
      ExpectClosed();
    }
    const standin::LiveCounts live = standin::Live();
    EXPECT_EQ(live.atoms + live.handles + live.views + live.mappings, 0u);
  }
}

TEST_F(IpcOpenTest, AsksAgainWhileAVersionReadsZero) {
  struct Case {
    WindowClass window_class;
    std::uint32_t zero_handshakes;
    std::uint32_t code;
    std::uint32_t exchanges;
  };
  const Case cases[] = {
      {WindowClass::kIpcServer, 1, IpcOk, 2},
      {WindowClass::kIpcServer, 3, IpcOk, 4},
      {WindowClass::kIpcServer, 4, IpcOk, 5},
      {WindowClass::kIpcServer, 5, IpcBadVersion, 5},
      {WindowClass::kNetworkClient, 5, IpcServerNotRunning, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zero_handshakes);
    standin::Reset();
    Server server(
        ServerOptions{.window_class = c.window_class, .zero_versions_for = c.zero_handshakes});
    EXPECT_EQ(Open(), c.code);
    EXPECT_EQ(server.requests(), c.exchanges);
    EXPECT_EQ(standin::NowMs(), 100u * c.exchanges) << "each attempt pauses 100 ms";
    IpcClose();
  }
}

TEST_F(IpcOpenTest, ASecondOpeningIsRefusedAndLeavesTheLinkWorking) {
  Server server;
  ASSERT_EQ(Open(), IpcOk);
  const IpcLink before = IpcLinkState();
  EXPECT_EQ(Open(), IpcAlreadyOpen);
  const IpcLink& after = IpcLinkState();
  EXPECT_EQ(after.view, before.view);
  EXPECT_EQ(after.atom, before.atom);
  EXPECT_EQ(after.open_counter, before.open_counter);
  EXPECT_EQ(after.sim_version, 7u);

  server.SetState({.light_word = 0x8000});
  std::uint16_t word = 0;
  std::uint32_t result = 99;
  ASSERT_TRUE(IpcRead(offset::kLightWord, 2, &word, &result));
  ASSERT_TRUE(IpcProcess(&result));
  EXPECT_EQ(word, 0x8000);
}

TEST_F(IpcOpenTest, PrefersTheServerToTheNetworkClient) {
  Server network_client(
      ServerOptions{.window_class = WindowClass::kNetworkClient, .server_version = 0x19980004});
  Server ipc_server;
  EXPECT_EQ(Open(), IpcOk);
  EXPECT_EQ(IpcLinkState().server_window, ipc_server.window());
  EXPECT_EQ(network_client.requests(), 0u);
}

TEST_F(IpcOpenTest, WithoutAServerWindowNothingIsAcquired) {
  Server hidden(ServerOptions{.window_class = WindowClass::kNone});
  EXPECT_EQ(Open(), IpcNoServer);
  EXPECT_EQ(IpcLinkState().server_window, nullptr);
  EXPECT_EQ(IpcLinkState().open_counter, 0u);
  EXPECT_EQ(standin::Live().atoms, 0u);
}

TEST_F(IpcOpenTest, EachOpeningNamesItsBlockAfterTheProcessAndItsNumber) {
  standin::SetProcessId(0xBEEF);
  {
    // Codes 2 and 3 come before a number is taken.
    EXPECT_EQ(Open(), IpcNoServer);
    Server server;
    test::OsOverride no_message(&os::OsCalls::RegisterWindowMessageA,
                                [](const char*) -> os::Uint { return 0; });
    EXPECT_EQ(Open(), IpcNoMessage);
    EXPECT_EQ(IpcLinkState().server_window, server.window()) << "the window stays recorded";
    EXPECT_EQ(IpcLinkState().message, 0u);
  }
  Server server;
  ASSERT_EQ(Open(), IpcOk);
  EXPECT_EQ(server.last_mapping_name(), "FsasmLib:IPC:BEEF:1");
  IpcClose();
  ASSERT_EQ(Open(), IpcOk);
  EXPECT_EQ(server.last_mapping_name(), "FsasmLib:IPC:BEEF:2");
  IpcClose();
  {
    // A failure after the number was taken has used it up.
    test::OsOverride no_atom(&os::OsCalls::GlobalAddAtomA,
                             [](const char*) -> os::Atom { return 0; });
    EXPECT_EQ(Open(), IpcNoAtom);
  }
  ASSERT_EQ(Open(), IpcOk);
  EXPECT_EQ(server.last_mapping_name(), "FsasmLib:IPC:BEEF:4");
  EXPECT_EQ(server.client_version(), std::optional<std::uint16_t>(2002));
}

TEST_F(IpcOpenTest, ANameSomeoneElseHoldsIsRefused) {
  Server server;
  os::Handle squatter =
      os::Os().CreateFileMappingA(os::kInvalidHandleValue, nullptr, os::kPageReadWrite, 0,
                                  ipc::kMappingSize, "FsasmLib:IPC:1F4C:1");
  ASSERT_NE(squatter, nullptr);
  EXPECT_EQ(Open(), IpcNoMapping);
  ExpectClosed();
  EXPECT_EQ(server.requests(), 0u) << "nothing was sent through their block";
  const standin::LiveCounts live = standin::Live();
  EXPECT_EQ(live.handles, 1u) << "only the squatter's own handle is left";
  EXPECT_EQ(live.atoms, 0u);
  os::Os().CloseHandle(squatter);

  EXPECT_EQ(Open(), IpcOk) << "the next number is free";
  EXPECT_EQ(server.last_mapping_name(), "FsasmLib:IPC:1F4C:2");
}

// Each seam call of the opening, failing on its own, with the code it gives.
TEST_F(IpcOpenTest, EverySeamFailureGivesItsCodeAndLeaksNothing) {
  struct Case {
    const char* what;
    std::function<std::shared_ptr<void>()> fail;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"GlobalAddAtomA",
       [] {
         return std::make_shared<test::OsOverride<os::Atom (*)(const char*)>>(
             &os::OsCalls::GlobalAddAtomA, [](const char*) -> os::Atom {
               os::Os().SetLastError(os::kErrorNotEnoughMemory);
               return 0;
             });
       },
       IpcNoAtom},
      {"CreateFileMappingA",
       [] {
         using Fn = os::Handle (*)(os::Handle, void*, os::Dword, os::Dword, os::Dword, const char*);
         return std::make_shared<test::OsOverride<Fn>>(
             &os::OsCalls::CreateFileMappingA,
             [](os::Handle, void*, os::Dword, os::Dword, os::Dword, const char*) -> os::Handle {
               os::Os().SetLastError(os::kErrorNotEnoughMemory);
               return nullptr;
             });
       },
       IpcNoMapping},
      {"MapViewOfFile",
       [] {
         using Fn = void* (*)(os::Handle, os::Dword, os::Dword, os::Dword, std::size_t);
         return std::make_shared<test::OsOverride<Fn>>(
             &os::OsCalls::MapViewOfFile,
             [](os::Handle, os::Dword, os::Dword, os::Dword, std::size_t) -> void* {
               os::Os().SetLastError(os::kErrorNotEnoughMemory);
               return nullptr;
             });
       },
       IpcNoView},
  };
  Server server;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      const std::shared_ptr<void> failing = c.fail();
      EXPECT_EQ(Open(), c.code);
    }
    ExpectClosed();
    const standin::LiveCounts live = standin::Live();
    EXPECT_EQ(live.atoms + live.handles + live.views + live.mappings, 0u);
    EXPECT_EQ(Open(), IpcOk) << "nothing of the failure stands in the way";
    IpcClose();
  }
}

TEST_F(IpcOpenTest, AFailedHandshakeExchangeGivesItsCodeAndClosesTheLink) {
  struct Case {
    const char* what;
    ServerOptions options;
    std::uint32_t code;
    std::uint64_t elapsed_ms;
  };
  const Case cases[] = {
      {"every attempt unanswered", ServerOptions{.ignore_from = 1, .ignore_to = 9}, IpcSendFailed,
       18900},
      {"a bad reply", ServerOptions{.answer = 0}, IpcBadReply, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    Server server(c.options);
    EXPECT_EQ(Open(), c.code);
    EXPECT_EQ(standin::NowMs(), c.elapsed_ms);
    ExpectClosed();
    const standin::LiveCounts live = standin::Live();
    EXPECT_EQ(live.atoms + live.handles + live.views + live.mappings, 0u);
  }
}

TEST_F(IpcOpenTest, TheHandshakeTimesOutWhenTheLastErrorReadsZero) {
  Server server(ServerOptions{.ignore_from = 1, .ignore_to = 9});
  test::OsOverride no_error(&os::OsCalls::GetLastError, []() -> os::Dword { return 0; });
  EXPECT_EQ(Open(), IpcTimedOut);
  ExpectClosed();
}

}  // namespace
}  // namespace qel
