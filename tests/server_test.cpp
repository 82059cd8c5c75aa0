// The stand-in IPC server: its data space and version words, the private messages
// a host program drives it with, and blocks from a hostile client.
#include "server/server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "ipc/ipc_block.h"
#include "ipc/ipc_client.h"
#include "standin/standin.h"
#include "support/standin_fixture.h"

namespace qel {
namespace {

using ipc::Put32;
using os::Os;
using server::Server;
using server::ServerOptions;
using server::SimState;

class ServerTest : public test::StandinFixture {
 protected:
  void TearDown() override {
    IpcClose();
    StandinFixture::TearDown();
  }
  static void Open() {
    std::uint32_t result = 99;
    ASSERT_TRUE(IpcOpen(0, &result)) << IpcResultText(result);
  }
  // One read exchanged on the open link.
  template <typename T>
  static T Read(std::uint32_t offset) {
    T value{};
    std::uint32_t result = 99;
    EXPECT_TRUE(IpcRead(offset, sizeof value, &value, &result));
    EXPECT_TRUE(IpcProcess(&result)) << IpcResultText(result);
    return value;
  }
  template <typename T>
  static void Write(std::uint32_t offset, T value) {
    std::uint32_t result = 99;
    EXPECT_TRUE(IpcWrite(offset, sizeof value, &value, &result));
    EXPECT_TRUE(IpcProcess(&result)) << IpcResultText(result);
  }
};

TEST_F(ServerTest, AHostProgramSetsTheStateAndReadsTheLightWord) {
  Server server;
  SimState state{.hour = 21,
                 .minute = 7,
                 .second = 59,
                 .visibility_raw = 250,
                 .latitude_raw = -0x0123456789ABCDEF,
                 .longitude_raw = 0x7EDCBA9876543210,
                 .light_word = 0x8001};
  ASSERT_TRUE(server::ServerSendState(server.window(), state));
  Open();
  struct Clock {
    std::uint8_t hour, minute, second;
  };
  const Clock clock = Read<Clock>(offset::kClock);
  EXPECT_EQ(clock.hour, 21);
  EXPECT_EQ(clock.minute, 7);
  EXPECT_EQ(clock.second, 59);
  EXPECT_EQ(Read<std::uint16_t>(offset::kVisibility), 250);
  EXPECT_EQ(Read<std::int64_t>(offset::kLatitude), -0x0123456789ABCDEF);
  EXPECT_EQ(Read<std::int64_t>(offset::kLongitude), 0x7EDCBA9876543210);
  EXPECT_EQ(Read<std::uint16_t>(offset::kLightWord), 0x8001);

  Write<std::uint16_t>(offset::kLightWord, 0x0001);
  EXPECT_EQ(server::ServerQueryLightWord(server.window()), std::optional<std::uint16_t>(0x0001));
  state.light_word.reset();
  state.visibility_raw = 9999;
  ASSERT_TRUE(server::ServerSendState(server.window(), state));
  EXPECT_EQ(server.LightWord(), 0x0001) << "a state without light word leaves it";
  EXPECT_EQ(Read<std::uint16_t>(offset::kVisibility), 9999);
}

os::LResult KnowsNothing(void*, os::Hwnd, os::Uint, os::WParam, os::LParam) {
  return 0;
}

TEST_F(ServerTest, TheHostHelpersFailOnAWindowThatIsNoServer) {
  os::Hwnd stranger = Os().CreateWindowA("UIPCMAIN", KnowsNothing, nullptr);
  EXPECT_FALSE(server::ServerSendState(stranger, SimState{}));
  EXPECT_EQ(server::ServerQueryLightWord(stranger), std::nullopt) << "a 0 answer is no word";
  Os().DestroyWindow(stranger);
  EXPECT_FALSE(server::ServerSendState(stranger, SimState{}));
  EXPECT_EQ(server::ServerQueryLightWord(stranger), std::nullopt);
}

TEST_F(ServerTest, PrivateMessagesDoNotCountAsRequests) {
  // Request 1 is the opening; request 2, the first attempt of the exchange below, goes unanswered.
  Server server(ServerOptions{.ignore_from = 2, .ignore_to = 2});
  Open();
  const std::uint64_t opened_at = standin::NowMs();
  ASSERT_TRUE(server::ServerSendState(server.window(), SimState{.light_word = 0x4000}));
  ASSERT_TRUE(server::ServerQueryLightWord(server.window()));
  EXPECT_EQ(Read<std::uint16_t>(offset::kLightWord), 0x4000);
  EXPECT_EQ(server.requests(), 3u);
  EXPECT_EQ(server.ignored(), 1u);
  EXPECT_EQ(standin::NowMs() - opened_at, 2100u);
}

TEST_F(ServerTest, TheVersionWordsAreTheServersAndTheClientsVersionIsKeptApart) {
  Server server;
  Open();
  EXPECT_EQ(server.client_version(), std::optional<std::uint16_t>(2002));
  Write<std::uint64_t>(offset::kServerVersion, ~std::uint64_t{0});
  EXPECT_EQ(server.client_version(), std::optional<std::uint16_t>(0xFFFF));
  EXPECT_EQ(Read<std::uint32_t>(offset::kServerVersion), server::kDefaultServerVersion);
  EXPECT_EQ(Read<std::uint32_t>(offset::kSimVersion), server::kDefaultSimVersionWord);
  std::uint8_t raw[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  server.Read(offset::kServerVersion, raw, sizeof raw);
  EXPECT_EQ(std::vector<std::uint8_t>(raw, raw + 8), std::vector<std::uint8_t>(8, 0))
      << "no version byte lands in the data space";
}

TEST_F(ServerTest, TheDataSpaceEndsAt0x10000) {
  Server server;
  const std::uint8_t top[2] = {0x12, 0x34};
  server.Write(0xFFFE, top, 2);
  Open();
  EXPECT_EQ(Read<std::uint32_t>(0xFFFE), 0x3412u) << "bytes past the end read as zero";
  Write<std::uint32_t>(0xFFFF, 0xAABBCCDD);
  EXPECT_EQ(Read<std::uint32_t>(0xFFFE), 0xDD12u);
  EXPECT_EQ(Read<std::uint32_t>(0xFFFFFFF0), 0u);
}

TEST_F(ServerTest, ClosingTheWindowDestroysIt) {
  bool destroyed = false;
  Server server(ServerOptions{.on_destroyed = [&destroyed] { destroyed = true; }});
  os::DwordPtr reply = 0;
  Os().SendMessageTimeoutA(server.window(), os::kWmClose, 0, 0, os::kSmtoBlock, 2000, &reply);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(server.window(), nullptr);
  EXPECT_EQ(Os().FindWindowExA(nullptr, nullptr, ipc::kServerClass, nullptr), nullptr);
}

// A client of our own that writes whatever block it likes and sends it.
class HostileClient {
 public:
  explicit HostileClient(std::uint32_t size = ipc::kMappingSize, const char* name = "Hostile")
      : atom_(Os().GlobalAddAtomA(name)),
        mapping_(Os().CreateFileMappingA(os::kInvalidHandleValue, nullptr, os::kPageReadWrite, 0,
                                         size, name)),
        block_(
            static_cast<std::uint8_t*>(Os().MapViewOfFile(mapping_, os::kFileMapWrite, 0, 0, 0))) {}
  ~HostileClient() {
    Os().UnmapViewOfFile(block_);
    Os().CloseHandle(mapping_);
    Os().GlobalDeleteAtom(atom_);
  }
  std::uint8_t* block() { return block_; }
  os::Atom atom() const { return atom_; }
  os::DwordPtr Send(os::Hwnd window, os::WParam wparam) {
    os::DwordPtr reply = 99;
    EXPECT_NE(Os().SendMessageTimeoutA(window, Os().RegisterWindowMessageA(ipc::kMessageName),
                                       wparam, 0, os::kSmtoBlock, 2000, &reply),
              0);
    return reply;
  }

 private:
  os::Atom atom_;
  os::Handle mapping_;
  std::uint8_t* block_;
};

TEST_F(ServerTest, AHostileBlockStopsTheWalkWithoutHarm) {
  struct Case {
    const char* what;
    std::function<void(std::uint8_t*)> build;  // after a first write of 0x77 to 0x100
  };
  constexpr std::uint32_t kAfterFirst = 13;
  auto write_to_end = [](std::uint8_t* block, std::uint32_t at, std::uint32_t end) {
    Put32(block + at, ipc::kRecordWrite);
    Put32(block + at + 4, 0x200);
    Put32(block + at + 8, end - at - 12);
  };
  const Case cases[] = {
      {"unknown type", [](std::uint8_t* block) { Put32(block + kAfterFirst, 3); }},
      {"read of a huge size",
       [](std::uint8_t* block) {
         Put32(block + kAfterFirst, ipc::kRecordRead);
         Put32(block + kAfterFirst + 8, 0xFFFFFFFF);
       }},
      {"records up to the mapping's end",
       [&](std::uint8_t* block) { write_to_end(block, kAfterFirst, ipc::kMappingSize); }},
      {"a read header across the mapping's end",
       [&](std::uint8_t* block) {
         write_to_end(block, kAfterFirst, ipc::kMappingSize - 8);
         Put32(block + ipc::kMappingSize - 8, ipc::kRecordRead);
       }},
      {"a read's data across the mapping's end",
       [&](std::uint8_t* block) {
         write_to_end(block, kAfterFirst, ipc::kMappingSize - 20);
         Put32(block + ipc::kMappingSize - 20, ipc::kRecordRead);
         Put32(block + ipc::kMappingSize - 20 + 8, 5);
       }},
      {"offsets past the data space",
       [](std::uint8_t* block) {
         Put32(block + kAfterFirst, ipc::kRecordRead);
         Put32(block + kAfterFirst + 4, 0xFFFFFFF0);
         Put32(block + kAfterFirst + 8, 64);
         Put32(block + kAfterFirst + 80, ipc::kRecordWrite);
         Put32(block + kAfterFirst + 84, 0xFFFFFFFF);
         Put32(block + kAfterFirst + 88, 4);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Server server;
    HostileClient client;
    std::memset(client.block(), 0, ipc::kMappingSize);
    Put32(client.block(), ipc::kRecordWrite);
    Put32(client.block() + 4, 0x100);
    Put32(client.block() + 8, 1);
    client.block()[12] = 0x77;
    c.build(client.block());
    EXPECT_EQ(client.Send(server.window(), client.atom()), 1u);
    std::uint8_t first = 0;
    server.Read(0x100, &first, 1);
    EXPECT_EQ(first, 0x77) << "records before the bad one are carried out";
  }
}

TEST_F(ServerTest, ARequestItCannotReachIsAnsweredZero) {
  Server server;
  struct Case {
    const char* what;
    std::uint32_t mapping_size;
    const char* mapping_name;
    const char* atom_name;
    bool use_atom;
  };
  const Case cases[] = {
      {"not an atom", ipc::kMappingSize, "Hostile", "Hostile", false},
      {"an atom naming no mapping", ipc::kMappingSize, "Hostile", "Elsewhere", true},
      {"a mapping smaller than the protocol's", 4096, "Small", "Small", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HostileClient client(c.mapping_size, c.mapping_name);
    const os::Atom atom = Os().GlobalAddAtomA(c.atom_name);
    Put32(client.block(), ipc::kRecordRead);
    Put32(client.block() + 8, 4);
    EXPECT_EQ(client.Send(server.window(), c.use_atom ? atom : 0x12345), 0u);
    Os().GlobalDeleteAtom(atom);
  }
  EXPECT_EQ(server.requests(), 3u);
}

}  // namespace
}  // namespace qel
