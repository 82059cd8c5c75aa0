// The Linux stand-in behind the seam: atoms, registered messages, mappings and
// views, windows and sends on the virtual clock, the last error and the reset.
#include "standin/standin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "os/os_calls.h"
#include "support/standin_fixture.h"

namespace qel {
namespace {

using os::Os;

class StandinTest : public test::StandinFixture {};

TEST_F(StandinTest, AtomsAreSharedByNameAndCounted) {
  const os::Atom first = Os().GlobalAddAtomA("FsasmLib:IPC:1:1");
  ASSERT_GE(first, 0xC000);
  EXPECT_EQ(Os().GlobalAddAtomA("fsasmlib:ipc:1:1"), first) << "atom names ignore case";
  const os::Atom second = Os().GlobalAddAtomA("FsasmLib:IPC:1:2");
  EXPECT_NE(second, first);
  EXPECT_EQ(standin::Live().atoms, 2u);

  char name[64] = {};
  EXPECT_EQ(Os().GlobalGetAtomNameA(first, name, sizeof name), 16u);
  EXPECT_STREQ(name, "FsasmLib:IPC:1:1");
  EXPECT_EQ(Os().GlobalGetAtomNameA(first, name, 5), 4u) << "cut to the buffer";
  EXPECT_STREQ(name, "Fsas");

  EXPECT_EQ(Os().GlobalDeleteAtom(first), 0);
  EXPECT_EQ(Os().GlobalGetAtomNameA(first, name, sizeof name), 16u) << "one reference remains";
  EXPECT_EQ(Os().GlobalDeleteAtom(first), 0);
  EXPECT_EQ(Os().GlobalGetAtomNameA(first, name, sizeof name), 0u);
  EXPECT_EQ(Os().GetLastError(), os::kErrorInvalidHandle);
  EXPECT_EQ(Os().GlobalDeleteAtom(first), first) << "a failed delete gives the atom back";
  EXPECT_EQ(Os().GlobalDeleteAtom(second), 0);
  EXPECT_EQ(Os().GlobalAddAtomA(""), 0);
  EXPECT_EQ(Os().GlobalAddAtomA(std::string(256, 'x').c_str()), 0) << "names end at 255";
}

TEST_F(StandinTest, RegisteredMessagesKeepTheirIdPerName) {
  const os::Uint ipc = Os().RegisterWindowMessageA("FsasmLib:IPC");
  EXPECT_GE(ipc, 0xC000u);
  EXPECT_LE(ipc, 0xFFFFu);
  EXPECT_EQ(Os().RegisterWindowMessageA("FsasmLib:IPC"), ipc);
  EXPECT_EQ(Os().RegisterWindowMessageA("FSASMLIB:ipc"), ipc);
  EXPECT_NE(Os().RegisterWindowMessageA("Another"), ipc);
  EXPECT_EQ(Os().RegisterWindowMessageA(""), 0u);
}

TEST_F(StandinTest, MappingsAreSharedByNameAndLiveWhileAnyHandleOrViewDoes) {
  os::Handle created =
      Os().CreateFileMappingA(os::kInvalidHandleValue, nullptr, os::kPageReadWrite, 0, 64, "Block");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(Os().GetLastError(), os::kErrorSuccess);
  os::Handle again =
      Os().CreateFileMappingA(os::kInvalidHandleValue, nullptr, os::kPageReadWrite, 0, 64, "Block");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Os().GetLastError(), os::kErrorAlreadyExists);
  os::Handle opened = Os().OpenFileMappingA(os::kFileMapWrite, 0, "Block");
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(Os().OpenFileMappingA(os::kFileMapWrite, 0, "block"), nullptr)
      << "object names keep their case";
  EXPECT_EQ(Os().GetLastError(), os::kErrorFileNotFound);

  auto* first = static_cast<std::uint8_t*>(Os().MapViewOfFile(created, os::kFileMapWrite, 0, 0, 0));
  auto* second =
      static_cast<std::uint8_t*>(Os().MapViewOfFile(opened, os::kFileMapWrite, 0, 0, 64));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first[63], 0) << "a new mapping is zero-filled";
  first[10] = 0x5A;
  EXPECT_EQ(second[10], 0x5A) << "views of one mapping share its bytes";
  EXPECT_EQ(Os().MapViewOfFile(opened, os::kFileMapWrite, 0, 0, 65), nullptr)
      << "a view longer than the mapping";

  standin::LiveCounts live = standin::Live();
  EXPECT_EQ(live.handles, 3u);
  EXPECT_EQ(live.views, 2u);
  EXPECT_EQ(live.mappings, 1u);

  EXPECT_EQ(Os().CloseHandle(created), 1);
  EXPECT_EQ(Os().CloseHandle(again), 1);
  EXPECT_EQ(Os().CloseHandle(opened), 1);
  EXPECT_EQ(Os().CloseHandle(opened), 0);
  EXPECT_EQ(Os().GetLastError(), os::kErrorInvalidHandle);
  EXPECT_EQ(Os().UnmapViewOfFile(first), 1);
  os::Handle through_view = Os().OpenFileMappingA(os::kFileMapWrite, 0, "Block");
  ASSERT_NE(through_view, nullptr) << "the remaining view keeps the name alive";
  EXPECT_EQ(Os().CloseHandle(through_view), 1);
  EXPECT_EQ(Os().UnmapViewOfFile(second), 1);
  EXPECT_EQ(Os().UnmapViewOfFile(second), 0);
  EXPECT_EQ(Os().GetLastError(), os::kErrorInvalidAddress);
  EXPECT_EQ(Os().OpenFileMappingA(os::kFileMapWrite, 0, "Block"), nullptr);

  os::Handle fresh =
      Os().CreateFileMappingA(os::kInvalidHandleValue, nullptr, os::kPageReadWrite, 0, 64, "Block");
  EXPECT_EQ(Os().GetLastError(), os::kErrorSuccess) << "the name was free again";
  auto* view = static_cast<std::uint8_t*>(Os().MapViewOfFile(fresh, os::kFileMapWrite, 0, 0, 0));
  EXPECT_EQ(view[10], 0) << "a new mapping under an old name";
  Os().UnmapViewOfFile(view);
  Os().CloseHandle(fresh);
}

TEST_F(StandinTest, MappingsNeedThePagingFileAndASize) {
  EXPECT_EQ(Os().CreateFileMappingA(nullptr, nullptr, os::kPageReadWrite, 0, 64, "A"), nullptr);
  EXPECT_EQ(
      Os().CreateFileMappingA(os::kInvalidHandleValue, nullptr, os::kPageReadWrite, 0, 0, "A"),
      nullptr);
  EXPECT_EQ(Os().GetLastError(), os::kErrorInvalidParameter);
  EXPECT_EQ(Os().MapViewOfFile(reinterpret_cast<os::Handle>(0x1234), os::kFileMapWrite, 0, 0, 0),
            nullptr);
  EXPECT_EQ(Os().GetLastError(), os::kErrorInvalidHandle);
}

struct Recorded {
  int calls = 0;
  os::Hwnd window = nullptr;
  os::Uint message = 0;
  os::WParam wparam = 0;
  os::LParam lparam = 0;
  os::Dword sleep_ms = 0;  // how long the proc "works"
  bool destroyed = false;
};

os::LResult RecordingProc(void* context, os::Hwnd window, os::Uint message, os::WParam wparam,
                          os::LParam lparam) {
  auto* recorded = static_cast<Recorded*>(context);
  if (message == os::kWmDestroy) {
    recorded->destroyed = true;
    return 0;
  }
  ++recorded->calls;
  recorded->window = window;
  recorded->message = message;
  recorded->wparam = wparam;
  recorded->lparam = lparam;
  Os().SetLastError(77);  // the window's own thread's business
  Os().Sleep(recorded->sleep_ms);
  return 42;
}

TEST_F(StandinTest, WindowsAreFoundByClassNewestFirst) {
  Recorded a, b, c;
  os::Hwnd older = Os().CreateWindowA("UIPCMAIN", RecordingProc, &a);
  os::Hwnd other = Os().CreateWindowA("FS98MAIN", RecordingProc, &b);
  os::Hwnd newer = Os().CreateWindowA("UIPCMAIN", RecordingProc, &c);
  ASSERT_NE(older, nullptr);
  EXPECT_EQ(Os().FindWindowExA(nullptr, nullptr, "UIPCMAIN", nullptr), newer);
  EXPECT_EQ(Os().FindWindowExA(nullptr, nullptr, "uipcmain", nullptr), newer);
  EXPECT_EQ(Os().FindWindowExA(nullptr, newer, "UIPCMAIN", nullptr), older);
  EXPECT_EQ(Os().FindWindowExA(nullptr, older, "UIPCMAIN", nullptr), nullptr);
  EXPECT_EQ(Os().FindWindowExA(nullptr, nullptr, "FS98MAIN", nullptr), other);
  EXPECT_EQ(Os().FindWindowExA(nullptr, nullptr, "NOSUCH", nullptr), nullptr);
  EXPECT_EQ(standin::Live().windows, 3u);

  EXPECT_EQ(Os().DestroyWindow(newer), 1);
  EXPECT_TRUE(c.destroyed);
  EXPECT_EQ(Os().FindWindowExA(nullptr, nullptr, "UIPCMAIN", nullptr), older);
  EXPECT_EQ(Os().DestroyWindow(newer), 0);
  EXPECT_EQ(Os().GetLastError(), os::kErrorInvalidWindowHandle);
  Os().DestroyWindow(older);
  Os().DestroyWindow(other);
}

TEST_F(StandinTest, SendCallsTheProcAtOnceAndKeepsTheSendersLastError) {
  Recorded recorded;
  recorded.sleep_ms = 700;
  os::Hwnd window = Os().CreateWindowA("UIPCMAIN", RecordingProc, &recorded);
  Os().SetLastError(5);
  os::DwordPtr reply = 0;
  EXPECT_NE(Os().SendMessageTimeoutA(window, 0xC123, 0xC001, 9, os::kSmtoBlock, 2000, &reply), 0);
  EXPECT_EQ(reply, 42u);
  EXPECT_EQ(recorded.calls, 1);
  EXPECT_EQ(recorded.window, window);
  EXPECT_EQ(recorded.message, 0xC123u);
  EXPECT_EQ(recorded.wparam, 0xC001u);
  EXPECT_EQ(recorded.lparam, 9);
  EXPECT_EQ(Os().GetLastError(), 5u);
  EXPECT_EQ(standin::NowMs(), 700u);
  Os().DestroyWindow(window);
}

TEST_F(StandinTest, SendTimesOutOnTheVirtualClock) {
  struct Case {
    os::Dword works_ms;
    bool answered;
    std::uint64_t clock_after;
  };
  const Case cases[] = {
      {0, true, 0},
      {2000, true, 2000},      // exactly the time-out is still in time
      {2001, false, 2000},     // the sender gives up at its time-out
      {3600000, false, 2000},  // a hung window costs the time-out alone
  };
  for (const Case& c : cases) {
    standin::Reset();
    Recorded recorded;
    recorded.sleep_ms = c.works_ms;
    os::Hwnd window = Os().CreateWindowA("UIPCMAIN", RecordingProc, &recorded);
    os::DwordPtr reply = 7;
    const os::LResult sent =
        Os().SendMessageTimeoutA(window, 0xC000, 0, 0, os::kSmtoBlock, 2000, &reply);
    EXPECT_EQ(sent != 0, c.answered) << c.works_ms;
    EXPECT_EQ(standin::NowMs(), c.clock_after) << c.works_ms;
    if (!c.answered) {
      EXPECT_EQ(Os().GetLastError(), os::kErrorTimeout) << c.works_ms;
      EXPECT_EQ(reply, 7u) << "no reply on a time-out";
    }
    Os().DestroyWindow(window);
  }
}

TEST_F(StandinTest, SendToAGoneWindowFailsAtOnce) {
  Recorded recorded;
  os::Hwnd window = Os().CreateWindowA("UIPCMAIN", RecordingProc, &recorded);
  Os().DestroyWindow(window);
  os::DwordPtr reply = 0;
  EXPECT_EQ(Os().SendMessageTimeoutA(window, 0xC000, 0, 0, os::kSmtoBlock, 2000, &reply), 0);
  EXPECT_EQ(Os().GetLastError(), os::kErrorInvalidWindowHandle);
  EXPECT_EQ(recorded.calls, 0);
  EXPECT_EQ(standin::NowMs(), 0u);
}

TEST_F(StandinTest, LastErrorBelongsToItsThread) {
  Os().SetLastError(183);
  os::Dword seen_there = 1;
  std::thread other([&seen_there] {
    seen_there = Os().GetLastError();
    Os().SetLastError(1460);
  });
  other.join();
  EXPECT_EQ(seen_there, 0u);
  EXPECT_EQ(Os().GetLastError(), 183u);
}

TEST_F(StandinTest, ClockProcessIdAndResetAreUnderTheTestsControl) {
  EXPECT_EQ(Os().GetCurrentProcessId(), standin::kDefaultProcessId);
  standin::SetProcessId(0xABC);
  EXPECT_EQ(Os().GetCurrentProcessId(), 0xABCu);
  Os().Sleep(250);
  standin::AdvanceMs(50);
  EXPECT_EQ(standin::NowMs(), 300u);
  EXPECT_EQ(Os().GetTickCount(), 300u);

  char name[64];
  EXPECT_EQ(Os().wsprintfA(name, "FsasmLib:IPC:%X:%X", 0xABC, 10), 18);
  EXPECT_STREQ(name, "FsasmLib:IPC:ABC:A");

  Recorded recorded;
  os::Hwnd window = Os().CreateWindowA("UIPCMAIN", RecordingProc, &recorded);
  Os().GlobalAddAtomA("left over");
  Os().CreateFileMappingA(os::kInvalidHandleValue, nullptr, os::kPageReadWrite, 0, 16, "left");
  standin::Reset();
  const standin::LiveCounts live = standin::Live();
  EXPECT_EQ(live.atoms + live.handles + live.views + live.mappings + live.windows, 0u);
  EXPECT_EQ(standin::NowMs(), 0u);
  EXPECT_EQ(Os().GetCurrentProcessId(), standin::kDefaultProcessId);
  EXPECT_FALSE(recorded.destroyed) << "a reset calls no proc";
  os::Hwnd fresh_window = Os().CreateWindowA("UIPCMAIN", RecordingProc, &recorded);
  EXPECT_NE(fresh_window, window) << "a stale window value never names a new window";
  Os().DestroyWindow(fresh_window);
}

}  // namespace
}  // namespace qel
