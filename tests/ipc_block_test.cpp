// Queueing into the request block: its layout, its capacity to the byte, the
// exchange of what was queued, closing, and the result texts.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ipc/ipc_client.h"
#include "server/server.h"
#include "support/ipc_link_fixture.h"
#include "support/standin_fixture.h"

namespace qel {
namespace {

class IpcBlockTest : public test::IpcLinkFixture {
 protected:
  // Fills the server's data space from `offset` on with a pattern that differs byte to byte.
  void SeedData(std::uint32_t offset, std::uint32_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    server_->Write(offset, bytes.data(), size);
  }
  std::vector<std::uint8_t> ServerBytes(std::uint32_t offset, std::uint32_t size) {
    std::vector<std::uint8_t> bytes(size);
    server_->Read(offset, bytes.data(), size);
    return bytes;
  }
};

TEST_F(IpcBlockTest, RecordsArePackedLittleEndianWithoutGaps) {
  std::uint8_t clock[3] = {0xEE, 0xEE, 0xEE};
  const std::uint16_t word = 0x8001;
  std::uint32_t result = 99;
  ASSERT_TRUE(IpcRead(offset::kClock, 3, clock, &result));
  EXPECT_EQ(result, IpcOk);
  ASSERT_TRUE(IpcWrite(offset::kLightWord, 2, &word, &result));
  EXPECT_EQ(result, IpcOk);
  ASSERT_EQ(queued(), 19u + 14u);

  const auto destination = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(clock));
  const std::vector<std::uint8_t> expected = {
      1,
      0,
      0,
      0,
      0x38,
      0x02,
      0,
      0,
      3,
      0,
      0,
      0,  // read: type, offset, size
      static_cast<std::uint8_t>(destination),
      static_cast<std::uint8_t>(destination >> 8),
      static_cast<std::uint8_t>(destination >> 16),
      static_cast<std::uint8_t>(destination >> 24),
      0,
      0,
      0,  // its data area, cleared
      2,
      0,
      0,
      0,
      0xDE,
      0x0D,
      0,
      0,
      2,
      0,
      0,
      0,  // write: type, offset, size
      0x01,
      0x80,  // its data
  };
  EXPECT_EQ(std::vector<std::uint8_t>(view(), view() + expected.size()), expected);

  ASSERT_TRUE(IpcProcess(&result));
  EXPECT_EQ(std::vector<std::uint8_t>(view() + 33, view() + 37), std::vector<std::uint8_t>(4, 0))
      << "the end record follows the last request";
  EXPECT_EQ(queued(), 0u);
}

TEST_F(IpcBlockTest, CapacityHoldsToTheByteWithoutOverflow) {
  constexpr std::uint32_t kFar = 0x8000;  // clear of the version words
  struct Case {
    const char* what;
    std::uint32_t queued_write;  // data bytes of a write queued first, 0 for none
    bool write;
    std::uint32_t size;
    bool accepted;
  };
  const Case cases[] = {
      {"read filling the block", 0, false, 32492, true},
      {"read one byte over", 0, false, 32493, false},
      {"write filling the block", 0, true, 32496, true},
      {"write one byte over", 0, true, 32497, false},
      {"read after a write", 100, false, 32512 - 112 - 20, true},
      {"read after a write, one over", 100, false, 32512 - 112 - 19, false},
      {"write after a write", 100, true, 32512 - 112 - 16, true},
      {"write after a write, one over", 100, true, 32512 - 112 - 15, false},
      {"read whose size wraps the sum", 0, false, 0xFFFFFFEC, false},
      {"write whose size wraps the sum", 0, true, 0xFFFFFFF0, false},
      {"largest size", 0, false, 0xFFFFFFFF, false},
  };
  SeedData(kFar, 0x8000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint32_t result = 99;
    std::vector<std::uint8_t> first(c.queued_write, 0x11);
    if (c.queued_write != 0) {
      ASSERT_TRUE(IpcWrite(0x100, c.queued_write, first.data(), &result));
    }
    const std::uint32_t before = queued();
    std::vector<std::uint8_t> data(c.accepted ? c.size : 0, 0x5A);
    const bool ok = c.write ? IpcWrite(kFar, c.size, data.data(), &result)
                            : IpcRead(kFar, c.size, data.data(), &result);
    EXPECT_EQ(ok, c.accepted);
    EXPECT_EQ(result, c.accepted ? IpcOk : IpcBlockFull);
    if (!c.accepted) {
      EXPECT_EQ(queued(), before) << "a refused request queues nothing";
      if (before == 0) continue;
    }
    // What was queued, up to the last byte, still goes through.
    ASSERT_TRUE(IpcProcess(&result));
    if (c.queued_write != 0) {
      EXPECT_EQ(ServerBytes(0x100, c.queued_write), first);
    }
    if (c.accepted && c.write) {
      EXPECT_EQ(ServerBytes(kFar, c.size), data);
      SeedData(kFar, 0x8000);
    } else if (c.accepted) {
      EXPECT_EQ(data, ServerBytes(kFar, c.size));
    }
  }
}

TEST_F(IpcBlockTest, AFullBlockOfSmallReadsDeliversEachToItsOwnVariable) {
  // 17 bytes a read: 1912 fill 32504 bytes, and the end record needs 4 more.
  constexpr std::uint32_t kReads = 1912;
  SeedData(0x9000, kReads);
  std::vector<std::uint8_t> values(kReads, 0);
  std::uint32_t result = 99;
  for (std::uint32_t i = 0; i < kReads; ++i) {
    ASSERT_TRUE(IpcRead(0x9000 + i, 1, &values[i], &result)) << i;
  }
  std::uint8_t refused = 0;
  EXPECT_FALSE(IpcRead(0x9000, 1, &refused, &result));
  EXPECT_EQ(result, IpcBlockFull);
  ASSERT_TRUE(IpcProcess(&result));
  EXPECT_EQ(values, ServerBytes(0x9000, kReads));
}

TEST_F(IpcBlockTest, TheMostReadsABlockHoldsAreAllAnswered) {
  // Reads of size 0 take 16 bytes each: 2031 fit, with room for the end record.
  constexpr std::uint32_t kReads = 2031;
  std::vector<std::uint32_t> values(kReads + 1, 0xA5A5A5A5);
  std::uint32_t result = 99;
  for (std::uint32_t i = 0; i < kReads; ++i) ASSERT_TRUE(IpcRead(0, 0, &values[i], &result)) << i;
  EXPECT_FALSE(IpcRead(0, 0, &values[kReads], &result));
  EXPECT_EQ(result, IpcBlockFull);
  std::uint32_t version = 0;
  EXPECT_FALSE(IpcRead(offset::kServerVersion, 4, &version, &result)) << "no room left";
  ASSERT_TRUE(IpcProcess(&result));
  EXPECT_EQ(values, std::vector<std::uint32_t>(kReads + 1, 0xA5A5A5A5)) << "size 0 copies nothing";
  ASSERT_TRUE(IpcRead(offset::kServerVersion, 4, &version, &result)) << "the block is empty again";
  ASSERT_TRUE(IpcProcess(&result));
  EXPECT_EQ(version, server::kDefaultServerVersion);
}

TEST_F(IpcBlockTest, ReadsWithoutDestinationOrSizeAreSentButNotCopied) {
  std::uint32_t reads_seen = 0;
  server_->options().tamper = [&reads_seen](std::uint8_t* block, std::size_t) {
    for (std::uint32_t at = 0; block[at] != 0;) {
      const std::uint32_t size = block[at + 8] | block[at + 9] << 8;
      reads_seen += block[at] == 1;
      at += (block[at] == 1 ? 16 : 12) + size;
    }
  };
  const std::uint8_t clock[3] = {12, 34, 56};
  server_->Write(offset::kClock, clock, 3);
  std::uint8_t untouched[3] = {0xA5, 0xA5, 0xA5};
  std::uint8_t read_back[3] = {};
  std::uint32_t result = 99;
  ASSERT_TRUE(IpcRead(offset::kClock, 3, nullptr, &result));
  ASSERT_TRUE(IpcRead(offset::kClock, 0, untouched, &result));
  ASSERT_TRUE(IpcRead(offset::kClock, 3, read_back, &result));
  ASSERT_TRUE(IpcProcess(&result));
  EXPECT_EQ(reads_seen, 3u);
  EXPECT_EQ(std::vector<std::uint8_t>(untouched, untouched + 3),
            std::vector<std::uint8_t>(3, 0xA5));
  EXPECT_EQ(std::vector<std::uint8_t>(read_back, read_back + 3),
            std::vector<std::uint8_t>(clock, clock + 3));
}

TEST_F(IpcBlockTest, RequestsAreCarriedOutInTheOrderQueued) {
  std::uint16_t word = 0x1234;
  std::uint16_t before = 0;
  std::uint16_t after = 0;
  std::uint32_t result = 99;
  server_->Write(offset::kLightWord, "\x21\x43", 2);
  ASSERT_TRUE(IpcRead(offset::kLightWord, 2, &before, &result));
  ASSERT_TRUE(IpcWrite(offset::kLightWord, 2, &word, &result));
  word = 0xFFFF;  // the write took its copy when it was queued
  ASSERT_TRUE(IpcRead(offset::kLightWord, 2, &after, &result));
  ASSERT_TRUE(IpcProcess(&result));
  EXPECT_EQ(before, 0x4321);
  EXPECT_EQ(after, 0x1234);
  EXPECT_EQ(server_->LightWord(), 0x1234);
}

TEST_F(IpcBlockTest, ProcessWithNothingQueuedSendsNothing) {
  std::uint32_t result = 99;
  EXPECT_FALSE(IpcProcess(&result));
  EXPECT_EQ(result, IpcNothingQueued);
  std::uint16_t word = 0;
  ASSERT_TRUE(IpcRead(offset::kLightWord, 2, &word, &result));
  ASSERT_TRUE(IpcProcess(&result));
  const std::uint32_t requests = server_->requests();
  EXPECT_FALSE(IpcProcess(&result)) << "a second exchange right after the first";
  EXPECT_EQ(result, IpcNothingQueued);
  EXPECT_EQ(server_->requests(), requests);
}

TEST_F(IpcBlockTest, NothingWorksOnAClosedLink) {
  IpcClose();
  std::uint32_t value = 0;
  struct Case {
    const char* what;
    bool (*call)(std::uint32_t* value, std::uint32_t* result);
  };
  const Case cases[] = {
      {"IpcRead", [](std::uint32_t* v, std::uint32_t* r) { return IpcRead(0, 4, v, r); }},
      {"IpcWrite", [](std::uint32_t* v, std::uint32_t* r) { return IpcWrite(0, 4, v, r); }},
      {"IpcProcess", [](std::uint32_t*, std::uint32_t* r) { return IpcProcess(r); }},
  };
  for (const Case& c : cases) {
    std::uint32_t result = 99;
    EXPECT_FALSE(c.call(&value, &result)) << c.what;
    EXPECT_EQ(result, IpcNotOpen) << c.what;
  }
}

// Closing a link that holds nothing must not release anything, which would be
// someone else's atom, view or handle.
class IpcCloseTest : public test::StandinFixture {
 protected:
  test::OsOverride<os::Atom (*)(os::Atom)> no_delete_{&os::OsCalls::GlobalDeleteAtom,
                                                      [](os::Atom) -> os::Atom {
                                                        ADD_FAILURE() << "GlobalDeleteAtom";
                                                        return 0;
                                                      }};
  test::OsOverride<os::Bool (*)(const void*)> no_unmap_{&os::OsCalls::UnmapViewOfFile,
                                                        [](const void*) -> os::Bool {
                                                          ADD_FAILURE() << "UnmapViewOfFile";
                                                          return 0;
                                                        }};
  test::OsOverride<os::Bool (*)(os::Handle)> no_close_{&os::OsCalls::CloseHandle,
                                                       [](os::Handle) -> os::Bool {
                                                         ADD_FAILURE() << "CloseHandle";
                                                         return 0;
                                                       }};
};

TEST_F(IpcCloseTest, ANeverOpenedLinkReleasesNothingAndStaysCleared) {
  IpcClose();
  const IpcLink& link = IpcLinkState();
  EXPECT_EQ(link.server_window, nullptr);
  EXPECT_EQ(link.message, 0u);
  EXPECT_EQ(link.atom, 0);
  EXPECT_EQ(link.mapping, nullptr);
  EXPECT_EQ(link.view, nullptr);
}

TEST(IpcResultTextTest, EveryCodeHasItsText) {
  const char* const texts[] = {
      "Okay",
      "Attempt to Open when already Open",
      "Cannot link to IPC server or network client",
      "Failed to Register common message with Windows",
      "Failed to create Atom for mapping filename",
      "Failed to create a file mapping object",
      "Failed to open a view to the file map",
      "Incorrect version of IPC server, or not IPC server",
      "Sim is not version requested",
      "Call cannot execute, link not Open",
      "Call cannot execute: no requests accumulated",
      "IPC timed out all retries",
      "IPC sendmessage failed all retries",
      "IPC request contains bad data",
      "Maybe running on network client, but FS not running on Server, or wrong IPC server",
      "Read or Write request cannot be added, memory for Process is full",
  };
  for (std::uint32_t code = 0; code < 16; ++code) EXPECT_STREQ(IpcResultText(code), texts[code]);
  EXPECT_STREQ(IpcResultText(16), "Unknown IPC result code");
}

}  // namespace
}  // namespace qel
