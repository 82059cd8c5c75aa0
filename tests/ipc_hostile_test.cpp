// A hostile server: a reply that rewrites destinations, sizes and types reaches
// nothing but the client's own variables, and a walk past the block fails.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "ipc/ipc_block.h"
#include "ipc/ipc_client.h"
#include "server/server.h"
#include "support/ipc_link_fixture.h"

namespace qel {
namespace {

using ipc::Get32;
using ipc::Put32;

constexpr std::uint8_t kGuard = 0xA5;
constexpr std::uint64_t kUntouched = 0xA5A5A5A5A5A5A5A5;
constexpr std::int64_t kLatitude = 0x1111222233334444;
constexpr std::int64_t kLongitude = 0x5555666677778888;

// A destination with guard bytes on both sides.
struct Guarded {
  std::array<std::uint8_t, 32> before;
  std::uint64_t value;
  std::array<std::uint8_t, 32> after;
};

std::uint32_t Low32(const void* address) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
}

// The block as queued: the latitude read at 0 (24 bytes), the longitude read at 24,
// the end record at 48.
constexpr std::uint32_t kFirst = 0;
constexpr std::uint32_t kSecond = 24;
constexpr std::uint32_t kEnd = 48;

class IpcHostileTest : public test::IpcLinkFixture {
 protected:
  void SetUp() override {
    IpcLinkFixture::SetUp();
    server_->SetState({.latitude_raw = kLatitude, .longitude_raw = kLongitude});
  }
  // Queues both reads, lets `tamper` rewrite the reply, and exchanges.
  bool Exchange(const std::function<void(std::uint8_t*)>& tamper, std::uint32_t* result) {
    first_.before.fill(kGuard);
    first_.after.fill(kGuard);
    second_ = first_;
    first_.value = second_.value = victim_ = kUntouched;
    server_->options().tamper = [&tamper](std::uint8_t* block, std::size_t) { tamper(block); };
    std::uint32_t queued_result = 99;
    EXPECT_TRUE(IpcRead(offset::kLatitude, 8, &first_.value, &queued_result));
    EXPECT_TRUE(IpcRead(offset::kLongitude, 8, &second_.value, &queued_result));
    return IpcProcess(result);
  }
  void ExpectGuardsAndVictimIntact() const {
    for (const Guarded* guarded : {&first_, &second_}) {
      for (std::uint8_t byte : guarded->before) ASSERT_EQ(byte, kGuard);
      for (std::uint8_t byte : guarded->after) ASSERT_EQ(byte, kGuard);
    }
    EXPECT_EQ(victim_, kUntouched) << "a destination named only by the reply was written";
  }

  Guarded first_{};
  Guarded second_{};
  std::uint64_t victim_ = kUntouched;
};

TEST_F(IpcHostileTest, ARewrittenReplyReachesOnlyTheClientsOwnVariables) {
  struct Case {
    const char* what;
    std::function<void(std::uint8_t*)> tamper;
    bool first_delivered;
    bool second_delivered;
  };
  auto* const self = this;
  const Case cases[] = {
      {"untouched reply", [](std::uint8_t*) {}, true, true},
      {"destinations rewritten",
       [self](std::uint8_t* block) {
         Put32(block + kFirst + 12, Low32(&self->victim_));
         Put32(block + kSecond + 12, Low32(self->first_.before.data()));
       },
       true, true},
      {"size enlarged: our size is delivered, the walk moves on by the block's",
       [](std::uint8_t* block) {
         Put32(block + kFirst + 8, 40);
         Put32(block + 56, ipc::kRecordEnd);
       },
       true, false},
      {"size shrunk: the walk lands in the data and stops there",
       [](std::uint8_t* block) { Put32(block + kFirst + 8, 0); }, true, false},
      {"read turned into a write", [](std::uint8_t* block) { Put32(block + kSecond, 2); }, true,
       false},
      {"unknown type ends the walk", [](std::uint8_t* block) { Put32(block + kFirst, 9); }, false,
       false},
      {"forged read at an offset nothing was queued at",
       [self](std::uint8_t* block) {
         Put32(block + kFirst + 8, 32);  // skips our second read, lands on the end record
         Put32(block + kEnd, ipc::kRecordRead);
         Put32(block + kEnd + 4, offset::kLatitude);
         Put32(block + kEnd + 8, 8);
         Put32(block + kEnd + 12, Low32(&self->victim_));
         Put32(block + kEnd + 24, ipc::kRecordEnd);
       },
       true, false},
      {"end record replaced by more reads",
       [self](std::uint8_t* block) {
         for (std::uint32_t at = kEnd; at < kEnd + 5 * 24; at += 24) {
           Put32(block + at, ipc::kRecordRead);
           Put32(block + at + 8, 8);
           Put32(block + at + 12, Low32(&self->victim_));
         }
         Put32(block + kEnd + 5 * 24, ipc::kRecordEnd);
       },
       true, true},
      {"a walk that ends with its end record in the last four usable bytes",
       [](std::uint8_t* block) {
         Put32(block + kFirst, ipc::kRecordWrite);
         Put32(block + kFirst + 8, ipc::kUsableSize - 12 - 4);
         Put32(block + ipc::kUsableSize - 4, ipc::kRecordEnd);
       },
       false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint32_t result = 99;
    EXPECT_TRUE(Exchange(c.tamper, &result));
    EXPECT_EQ(result, IpcOk);
    EXPECT_EQ(first_.value, c.first_delivered ? std::uint64_t{kLatitude} : kUntouched);
    EXPECT_EQ(second_.value, c.second_delivered ? std::uint64_t{kLongitude} : kUntouched);
    ExpectGuardsAndVictimIntact();
  }
}

TEST_F(IpcHostileTest, TheUnknownTypeIsClearedAfterTheAnswersAreOut) {
  std::uint32_t result = 99;
  // The shrunk size puts the walk on the latitude's own data, whose first word
  // is no type: cleared, as the walk leaves it, but only after delivery.
  ASSERT_TRUE(Exchange([](std::uint8_t* block) { Put32(block + kFirst + 8, 0); }, &result));
  EXPECT_EQ(first_.value, std::uint64_t{kLatitude});
  EXPECT_EQ(Get32(view() + kFirst + 16), ipc::kRecordEnd);
}

TEST_F(IpcHostileTest, AWalkPastTheUsableBlockFailsAndDeliversNothing) {
  struct Case {
    const char* what;
    std::function<void(std::uint8_t*)> tamper;
  };
  const Case cases[] = {
      {"size that wraps the walk",
       [](std::uint8_t* block) { Put32(block + kSecond + 8, 0xFFFFFFF0); }},
      {"size one past the end",
       [](std::uint8_t* block) {
         Put32(block + kSecond + 8, ipc::kUsableSize - kSecond - 16 + 1);
       }},
      {"records up to the end and no room for an end record",
       [](std::uint8_t* block) {
         Put32(block + kFirst, ipc::kRecordWrite);
         Put32(block + kFirst + 8, ipc::kUsableSize - 12);
       }},
      {"a read header across the end",
       [](std::uint8_t* block) {
         Put32(block + kFirst, ipc::kRecordWrite);
         Put32(block + kFirst + 8, ipc::kUsableSize - 12 - 12);
         Put32(block + ipc::kUsableSize - 12, ipc::kRecordRead);
       }},
      {"a read's data across the end",
       [](std::uint8_t* block) {
         Put32(block + kFirst, ipc::kRecordWrite);
         Put32(block + kFirst + 8, ipc::kUsableSize - 12 - 24);
         Put32(block + ipc::kUsableSize - 24, ipc::kRecordRead);
         Put32(block + ipc::kUsableSize - 24 + 8, 9);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint32_t result = 99;
    EXPECT_FALSE(Exchange(c.tamper, &result));
    EXPECT_EQ(result, IpcBadReply);
    EXPECT_EQ(first_.value, kUntouched) << "the first read was well formed, yet not delivered";
    EXPECT_EQ(second_.value, kUntouched);
    ExpectGuardsAndVictimIntact();
  }
}

TEST_F(IpcHostileTest, ScribbledRepliesNeverReachBeyondTheClientsVariables) {
  // A fixed pseudo-random sequence, so that a failure repeats.
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed;
  };
  for (int round = 0; round < 500; ++round) {
    SCOPED_TRACE(round);
    std::uint32_t words[16][2];
    for (auto& word : words) {
      // Mostly the fields of our records and just past them; now and then anywhere.
      word[0] = next() % 8 == 0 ? next() % (ipc::kMappingSize - 4) : (next() % 20) * 4;
      const std::uint32_t kind = next() % 4;
      word[1] = kind == 0 ? next() % 4 : kind == 1 ? next() % 64 : next();
    }
    std::uint32_t result = 99;
    Exchange(
        [&words](std::uint8_t* block) {
          for (const auto& word : words) Put32(block + word[0], word[1]);
        },
        &result);
    EXPECT_TRUE(result == IpcOk || result == IpcBadReply) << result;
    ExpectGuardsAndVictimIntact();
  }
}

}  // namespace
}  // namespace qel
