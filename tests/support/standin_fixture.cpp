// The stand-in fixture: reset before, leak check after.
#include "support/standin_fixture.h"

#include "ipc/ipc_client.h"
#include "standin/standin.h"

namespace qel::test {

void StandinFixture::SetUp() {
  os::Os() = os::DefaultOsCalls();
  standin::Reset();
  IpcResetForTest();
}

void StandinFixture::TearDown() {
  os::Os() = os::DefaultOsCalls();
  const standin::LiveCounts live = standin::Live();
  EXPECT_EQ(live.atoms, 0u) << "atoms left alive";
  EXPECT_EQ(live.handles, 0u) << "handles left open";
  EXPECT_EQ(live.views, 0u) << "views left mapped";
  EXPECT_EQ(live.mappings, 0u) << "mappings left alive";
}

}  // namespace qel::test
