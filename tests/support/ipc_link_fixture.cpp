// The open-link fixture: a server with its default options and a link opened to it.
#include "support/ipc_link_fixture.h"

#include "standin/standin.h"

namespace qel::test {

void IpcLinkFixture::SetUp() {
  StandinFixture::SetUp();
  server_ = std::make_unique<server::Server>();
  std::uint32_t result = 99;
  ASSERT_TRUE(IpcOpen(0, &result));
  ASSERT_EQ(result, IpcOk);
  opened_at_ms_ = standin::NowMs();
}

void IpcLinkFixture::TearDown() {
  IpcClose();
  server_.reset();
  StandinFixture::TearDown();
}

}  // namespace qel::test
