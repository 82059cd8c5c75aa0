// The IPC client's module-wide state, shared by the exchange and the link opening.
#pragma once

#include <cstdint>

#include "ipc/ipc_client.h"

namespace qel::ipc {

// The client's own record of a queued read: the answer is delivered from here,
// never from what the reply leaves in the shared block.
struct QueuedRead {
  std::uint32_t record_offset;  // where its record starts in the block
  std::uint32_t size;
  void* destination;
  bool answered;
};

// Each read takes at least 16 bytes of the usable block, so no more fit.
constexpr std::uint32_t kMaxQueuedReads = kUsableSize / kReadHeader;
static_assert(kMaxQueuedReads * kReadHeader + 4 > kUsableSize, "a full block has fewer reads");

extern IpcLink link_state;
extern QueuedRead queued_reads[kMaxQueuedReads];
extern std::uint32_t queued_read_count;

inline void SetResult(std::uint32_t* result, IpcResult code) {
  if (result != nullptr) *result = code;
}

}  // namespace qel::ipc
