// The fixtures of support/ on Windows, where the seam holds the real calls: no
// stand-in to reset or to count leaks in, so the check after each test is that
// the client's link holds nothing any more.
#include "ipc/ipc_client.h"
#include "support/ipc_link_fixture.h"
#include "support/standin_fixture.h"

namespace qel::test {

void StandinFixture::SetUp() {
  os::Os() = os::DefaultOsCalls();
  IpcResetForTest();
}

void StandinFixture::TearDown() {
  os::Os() = os::DefaultOsCalls();
  const IpcLink& link = IpcLinkState();
  EXPECT_EQ(link.atom, 0u) << "atom left alive";
  EXPECT_EQ(link.mapping, nullptr) << "mapping left open";
  EXPECT_EQ(link.view, nullptr) << "view left mapped";
}

void IpcLinkFixture::SetUp() {
  StandinFixture::SetUp();
  server_ = std::make_unique<server::Server>();
  std::uint32_t result = 99;
  ASSERT_TRUE(IpcOpen(0, &result));
  ASSERT_EQ(result, IpcOk);
  opened_at_ms_ = os::Os().GetTickCount();
}

void IpcLinkFixture::TearDown() {
  IpcClose();
  server_.reset();
  StandinFixture::TearDown();
}

}  // namespace qel::test
