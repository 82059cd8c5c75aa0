// Fuzzes the IPC exchange: arbitrary queued reads and writes, then a hostile
// server that carries out the block and scribbles over it before it answers, in
// a few rounds on one link. Every operation ends in one of the result codes, and
// the client's memory ends exactly as a walk of the reply by the protocol's rules
// says: the reads it reached answered from their own records, nothing else touched.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ipc/ipc_block.h"
#include "ipc/ipc_client.h"
#include "os/os_calls.h"
#include "server/server.h"
#include "standin/standin.h"

namespace {

using namespace qel;

constexpr std::uint8_t kPattern = 0xA5;
// The client's variables, checked byte for byte; reads too large for them go to a
// buffer of their own, which only AddressSanitizer watches.
constexpr std::size_t kArenaSize = 1024;
std::uint8_t g_arena[kArenaSize];
std::uint8_t g_expected[kArenaSize];
std::uint8_t g_large[0x8000];

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "exchange fuzz: %s\n", what.c_str());
  std::abort();
}

void CheckResult(const char* call, bool returned, std::uint32_t result) {
  if (result > IpcBlockFull) Fail(std::string(call) + " stored no result code");
  if (returned != (result == IpcOk)) Fail(std::string(call) + " returned against its code");
}

struct Patch {
  std::uint32_t at;
  std::vector<std::uint8_t> bytes;
};

struct QueuedRead {
  std::uint32_t record;  // where its record starts in the block
  std::uint32_t size;
  std::uint8_t* destination;
};

// The reply as it stood when the server answered, and whether there was one.
std::uint8_t g_reply[0x8000];
bool g_replied = false;

// The protocol's walk: read and write records up to the end record, a record of any
// other type ending it too; a walk that would leave the usable block makes the
// reply bad. Collects where the read records it passed begin.
bool WalkReply(std::vector<std::uint32_t>* read_records) {
  std::uint64_t at = 0;
  for (;;) {
    if (at + 4 > ipc::kUsableSize) return false;
    const std::uint32_t type = ipc::Get32(g_reply + at);
    if (type != ipc::kRecordRead && type != ipc::kRecordWrite) return true;
    const std::uint32_t header = type == ipc::kRecordRead ? ipc::kReadHeader : ipc::kWriteHeader;
    if (at + header > ipc::kUsableSize) return false;
    const std::uint64_t end = at + header + ipc::Get32(g_reply + at + 8);
    if (end > ipc::kUsableSize) return false;
    if (type == ipc::kRecordRead) read_records->push_back(static_cast<std::uint32_t>(at));
    at = end;
  }
}

std::uint32_t Size(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return in.ConsumeIntegral<std::uint32_t>();  // anything, up to sizes that wrap
    case 1:
      return in.ConsumeIntegralInRange<std::uint32_t>(0, 0x7F00);
    default:
      return in.ConsumeIntegralInRange<std::uint32_t>(0, 16);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  os::Os() = os::DefaultOsCalls();
  standin::Reset();
  IpcResetForTest();

  std::vector<Patch> patches;
  server::ServerOptions options;
  options.tamper = [&patches](std::uint8_t* block, std::size_t block_size) {
    for (const Patch& patch : patches) {
      for (std::size_t i = 0; i < patch.bytes.size() && patch.at + i < block_size; ++i) {
        block[patch.at + i] = patch.bytes[i];
      }
    }
    std::memcpy(g_reply, block, sizeof g_reply);
    g_replied = true;
  };
  server::Server server(options);
  for (std::uint32_t at = 0; at < 0x100; at += 4) {  // a data space worth reading
    const std::uint32_t word = at * 0x01010101u ^ 0x5EED0000u;
    server.Write(0x0200 + at, &word, 4);
  }
  std::uint32_t result = 99;
  if (!IpcOpen(0, &result)) Fail("the link did not open: " + std::to_string(result));

  std::memset(g_arena, kPattern, kArenaSize);
  const int rounds = in.ConsumeIntegralInRange(1, 4);
  for (int round = 0; round < rounds && in.remaining_bytes() > 0; ++round) {
    std::vector<QueuedRead> reads;
    const int requests = in.ConsumeIntegralInRange(0, 40);
    for (int r = 0; r < requests; ++r) {
      const bool read = in.ConsumeBool();
      const std::uint32_t offset = in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>()
                                                    : in.ConsumeIntegralInRange(0x200u, 0x300u);
      const std::uint32_t request_size = Size(in);
      const std::uint32_t slot = request_size <= kArenaSize
                                     ? in.ConsumeIntegralInRange<std::uint32_t>(
                                           0, static_cast<std::uint32_t>(kArenaSize) - request_size)
                                     : 0;
      // A destination or source the call may use for request_size bytes, or null.
      std::uint8_t* buffer = nullptr;
      if (in.ConsumeIntegralInRange(0, 15) != 0) {
        if (request_size <= kArenaSize) {
          buffer = &g_arena[slot];
        } else if (request_size <= sizeof g_large) {
          buffer = g_large;
        }
      }
      result = 99;
      bool queued;
      const auto record = static_cast<std::uint32_t>(IpcLinkState().next - IpcLinkState().view);
      if (read) {
        queued = IpcRead(offset, request_size, buffer, &result);
        CheckResult("IpcRead", queued, result);
        if (queued) reads.push_back({record, request_size, buffer});
      } else {
        if (buffer == nullptr && request_size != 0) continue;  // a write needs its bytes
        queued = IpcWrite(offset, request_size, buffer, &result);
        CheckResult("IpcWrite", queued, result);
      }
      if (!queued && result != IpcBlockFull)
        Fail("a request on an open link failed with " + std::to_string(result));
      const IpcLink& link = IpcLinkState();
      if (link.next - link.view + 4 > 0x7F00) Fail("the queue ran into the last 256 bytes");
    }

    patches.clear();
    const int patch_count = in.ConsumeIntegralInRange(0, 8);
    for (int p = 0; p < patch_count; ++p) {
      Patch patch;
      patch.at = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 0x7FFF)
                                  : in.ConsumeIntegralInRange<std::uint32_t>(0, 0x1FF);
      patch.bytes = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 8));
      patches.push_back(std::move(patch));
    }
    server.options().answer = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<int>() : 1;
    const bool hang = in.ConsumeIntegralInRange(0, 15) == 0;
    server.options().ignore_from = hang ? server.requests() + 1 : 0;
    server.options().ignore_to = hang ? server.requests() + in.ConsumeIntegralInRange(1, 9) : 0;

    std::memcpy(g_expected, g_arena, kArenaSize);
    g_replied = false;
    result = 99;
    const bool processed = IpcProcess(&result);
    CheckResult("IpcProcess", processed, result);
    if (!processed && result != IpcNothingQueued && result != IpcTimedOut &&
        result != IpcSendFailed && result != IpcBadReply) {
      Fail("IpcProcess failed with " + std::to_string(result));
    }
    std::vector<std::uint32_t> answered;
    if (g_replied && server.options().answer == 1) {
      const bool sound = WalkReply(&answered);
      if (processed != sound) Fail(sound ? "a sound reply failed" : "a bad reply was taken");
      if (sound && patches.empty() && answered.size() != reads.size()) {
        Fail("an honest reply left reads unanswered");
      }
    } else if (processed) {
      Fail("an exchange worked without an answer of 1");
    }
    // What the client's memory must hold now: the answered reads, in queue order.
    if (processed) {
      for (const QueuedRead& read : reads) {
        bool reached = false;
        for (std::uint32_t at : answered) reached = reached || at == read.record;
        if (reached != IpcAnswered(read.destination) && read.destination != nullptr) {
          bool shared = false;  // two reads into one variable: the last one's answer counts
          for (const QueuedRead& other : reads) {
            shared = shared || (&other != &read && other.destination == read.destination);
          }
          if (!shared) Fail("IpcAnswered disagrees with the reply");
        }
        if (!reached || read.destination == nullptr || read.destination == g_large) continue;
        std::memcpy(g_expected + (read.destination - g_arena),
                    g_reply + read.record + ipc::kReadHeader, read.size);
      }
    }
    for (std::size_t i = 0; i < kArenaSize; ++i) {
      if (g_arena[i] != g_expected[i]) {
        Fail("byte " + std::to_string(i) + " of the client's memory is not what the reply says" +
             (processed ? "" : ", after a failed exchange"));
      }
    }
  }

  IpcClose();
  const standin::LiveCounts live = standin::Live();
  if (live.atoms != 0 || live.handles != 0 || live.views != 0 || live.mappings != 0) {
    Fail("the closed link left objects alive");
  }
  return 0;
}
