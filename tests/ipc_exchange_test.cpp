// The exchange with the server window: its nine attempts on the virtual clock,
// the codes of a failed exchange, and what a failure leaves behind.
#include <gtest/gtest.h>

#include "ipc/ipc_client.h"
#include "server/server.h"
#include "standin/standin.h"
#include "support/ipc_link_fixture.h"

namespace qel {
namespace {

class IpcExchangeTest : public test::IpcLinkFixture {
 protected:
  // Queues a read of the light word into `word_` and exchanges it.
  bool ReadLightWord(std::uint32_t* result) {
    std::uint32_t queued_result = 99;
    EXPECT_TRUE(IpcRead(offset::kLightWord, 2, &word_, &queued_result));
    return IpcProcess(result);
  }
  // Leaves the next `count` requests unanswered (the opening was request 1).
  void IgnoreNext(std::uint32_t count) {
    server_->options().ignore_from = server_->requests() + 1;
    server_->options().ignore_to = server_->requests() + count;
  }
  std::uint64_t Elapsed() const { return standin::NowMs() - opened_at_ms_; }

  std::uint16_t word_ = 0xA5A5;
};

TEST_F(IpcExchangeTest, RetriesUntilAnAttemptIsAnswered) {
  struct Case {
    std::uint32_t unanswered;
    bool ok;
    std::uint64_t elapsed_ms;
  };
  // Each unanswered attempt costs its 2000 ms time-out and a 100 ms pause.
  const Case cases[] = {
      {0, true, 0},
      {1, true, 2100},
      {8, true, 8 * 2100},
      {9, false, 9 * 2100},
  };
  server_->SetState({.light_word = 0x0042});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unanswered);
    IgnoreNext(c.unanswered);
    const std::uint64_t start = standin::NowMs();
    const std::uint32_t requests = server_->requests();
    const std::uint32_t ignored = server_->ignored();
    word_ = 0xA5A5;
    std::uint32_t result = 99;
    EXPECT_EQ(ReadLightWord(&result), c.ok);
    EXPECT_EQ(result, c.ok ? IpcOk : IpcSendFailed) << "a time-out leaves its last error, 1460";
    EXPECT_EQ(standin::NowMs() - start, c.elapsed_ms);
    EXPECT_EQ(server_->requests() - requests, std::min(c.unanswered + 1, 9u));
    EXPECT_EQ(server_->ignored() - ignored, c.unanswered);
    EXPECT_EQ(word_, c.ok ? 0x0042 : 0xA5A5);
  }
}

TEST_F(IpcExchangeTest, AGoneWindowFailsEveryAttemptAtOnce) {
  server_.reset();
  std::uint32_t result = 99;
  EXPECT_FALSE(ReadLightWord(&result));
  EXPECT_EQ(result, IpcSendFailed);
  EXPECT_EQ(Elapsed(), 9u * 100u) << "only the pauses take time";
  EXPECT_EQ(word_, 0xA5A5);
}

TEST_F(IpcExchangeTest, TheLastErrorAfterTheAttemptsDecidesBetweenTimedOutAndSendFailed) {
  struct Case {
    bool last_error_zero;
    std::uint32_t code;
  };
  const Case cases[] = {{false, IpcSendFailed}, {true, IpcTimedOut}};
  for (const Case& c : cases) {
    IgnoreNext(9);
    std::uint32_t result = 99;
    if (c.last_error_zero) {
      test::OsOverride no_error(&os::OsCalls::GetLastError, []() -> os::Dword { return 0; });
      EXPECT_FALSE(ReadLightWord(&result));
    } else {
      EXPECT_FALSE(ReadLightWord(&result));
    }
    EXPECT_EQ(result, c.code);
  }
}

TEST_F(IpcExchangeTest, AFailedExchangeLosesItsRequestsAndIsNotRetried) {
  IgnoreNext(9);
  std::uint32_t result = 99;
  ASSERT_FALSE(ReadLightWord(&result));
  const std::uint32_t requests = server_->requests();
  const std::uint64_t after_failure = standin::NowMs();
  EXPECT_FALSE(IpcProcess(&result));
  EXPECT_EQ(result, IpcNothingQueued);
  EXPECT_EQ(server_->requests(), requests);
  EXPECT_EQ(standin::NowMs(), after_failure);

  server_->SetState({.light_word = 0x8000});
  EXPECT_TRUE(ReadLightWord(&result)) << "the link still works once requests are queued again";
  EXPECT_EQ(word_, 0x8000);
}

TEST_F(IpcExchangeTest, AReplyOtherThanOneIsBadAndDeliversNothing) {
  const os::LResult answers[] = {0, 2, -1};
  server_->SetState({.light_word = 0x0042});
  for (os::LResult answer : answers) {
    server_->options().answer = answer;
    word_ = 0xA5A5;
    std::uint32_t result = 99;
    EXPECT_FALSE(ReadLightWord(&result)) << answer;
    EXPECT_EQ(result, IpcBadReply) << answer;
    EXPECT_EQ(word_, 0xA5A5) << answer;
  }
}

}  // namespace
}  // namespace qel
