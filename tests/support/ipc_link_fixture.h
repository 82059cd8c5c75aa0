// A stand-in server and an open IPC link for tests of what happens after opening.
#pragma once

#include <cstdint>
#include <memory>

#include "ipc/ipc_client.h"
#include "server/server.h"
#include "support/standin_fixture.h"

namespace qel::test {

class IpcLinkFixture : public StandinFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The block as the client sees it.
  std::uint8_t* view() const { return IpcLinkState().view; }
  std::uint32_t queued() const {
    return static_cast<std::uint32_t>(IpcLinkState().next - IpcLinkState().view);
  }

  std::unique_ptr<server::Server> server_;
  std::uint64_t opened_at_ms_ = 0;  // the virtual clock right after the opening
};

}  // namespace qel::test
