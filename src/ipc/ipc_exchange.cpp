// The request block and its exchange: queueing reads and writes, sending the block
// to the server, delivering the answers, and releasing the link.
#include <cstring>
#include <optional>

#include "ipc/ipc_block.h"
#include "ipc/ipc_state.h"

namespace qel {

namespace ipc {

IpcLink link_state = {};
QueuedRead queued_reads[kMaxQueuedReads] = {};
std::uint32_t queued_read_count = 0;

namespace {

constexpr std::uint32_t kEndRecordSize = 4;

// How many of queued_reads the last successful exchange walked and marked; 0 once
// anything else has happened since.
std::uint32_t delivered_reads = 0;

std::uint32_t Queued() {
  return static_cast<std::uint32_t>(link_state.next - link_state.view);
}

// Whether a record of `record` bytes still leaves room for the end record; in 64
// bits, so that no size can wrap the sum.
bool Fits(std::uint32_t record) {
  return std::uint64_t{Queued()} + record + kEndRecordSize <= kUsableSize;
}

// Checks that the link is open and the record fits, and writes the record's type,
// offset and size at next; null, with the result set, when it cannot be queued.
std::uint8_t* StartRecord(std::uint32_t type, std::uint32_t header, std::uint32_t offset,
                          std::uint32_t size, std::uint32_t* result) {
  if (link_state.view == nullptr) {
    SetResult(result, IpcNotOpen);
    return nullptr;
  }
  if (size > kUsableSize || !Fits(header + size)) {
    SetResult(result, IpcBlockFull);
    return nullptr;
  }
  std::uint8_t* record = link_state.next;
  Put32(record, type);
  Put32(record + 4, offset);
  Put32(record + 8, size);
  return record;
}

// Walks the reply as the server left it and marks which of our reads it answered.
// Every length comes from the block, so each is checked against the usable block
// before it is trusted; a walk that would leave it makes the reply bad. A record
// of unknown type ends the walk; `unknown_at` tells where, for it to be cleared
// once the answers are out.
bool MarkAnswers(std::uint32_t reads, std::optional<std::uint32_t>* unknown_at) {
  const std::uint8_t* const block = link_state.view;
  std::uint32_t next_read = 0;
  std::uint64_t at = 0;
  for (;;) {
    if (at + 4 > kUsableSize) return false;
    const std::uint32_t type = Get32(block + at);
    if (type == kRecordEnd) return true;
    if (type != kRecordRead && type != kRecordWrite) {
      *unknown_at = static_cast<std::uint32_t>(at);
      return true;
    }
    const std::uint32_t header = type == kRecordRead ? kReadHeader : kWriteHeader;
    if (at + header > kUsableSize) return false;
    const std::uint32_t size = Get32(block + at + 8);
    if (at + header + size > kUsableSize) return false;
    if (type == kRecordRead) {
      while (next_read < reads && queued_reads[next_read].record_offset < at) ++next_read;
      if (next_read < reads && queued_reads[next_read].record_offset == at) {
        queued_reads[next_read++].answered = true;
      }
    }
    at += header + size;
  }
}

}  // namespace
}  // namespace ipc

using namespace ipc;

const IpcLink& IpcLinkState() {
  return link_state;
}

bool IpcRead(std::uint32_t offset, std::uint32_t size, void* destination, std::uint32_t* result) {
  std::uint8_t* record = StartRecord(kRecordRead, kReadHeader, offset, size, result);
  if (record == nullptr) return false;
  // The server never uses the destination; the block carries its low 32 bits for
  // the layout's sake, and the answer goes where our own record says.
  Put32(record + 12, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(destination)));
  std::memset(record + kReadHeader, 0, size);
  delivered_reads = 0;  // the record below may be one the last exchange marked
  queued_reads[queued_read_count++] = QueuedRead{Queued(), size, destination, false};
  link_state.next += kReadHeader + size;
  SetResult(result, IpcOk);
  return true;
}

bool IpcWrite(std::uint32_t offset, std::uint32_t size, const void* source, std::uint32_t* result) {
  std::uint8_t* record = StartRecord(kRecordWrite, kWriteHeader, offset, size, result);
  if (record == nullptr) return false;
  if (size != 0) std::memcpy(record + kWriteHeader, source, size);
  link_state.next += kWriteHeader + size;
  SetResult(result, IpcOk);
  return true;
}

bool IpcProcess(std::uint32_t* result) {
  delivered_reads = 0;
  if (link_state.view == nullptr) {
    SetResult(result, IpcNotOpen);
    return false;
  }
  if (link_state.next == link_state.view) {
    SetResult(result, IpcNothingQueued);
    return false;
  }
  Put32(link_state.next, kRecordEnd);
  link_state.next = link_state.view;
  // The queue is empty from here on, whatever the outcome; our records of the
  // reads stay readable until the next IpcRead.
  const std::uint32_t reads = queued_read_count;
  queued_read_count = 0;

  const os::OsCalls& os = os::Os();
  bool sent = false;
  os::DwordPtr reply = 0;
  for (std::uint32_t attempt = 0; attempt < kSendAttempts && !sent; ++attempt) {
    sent = os.SendMessageTimeoutA(link_state.server_window, link_state.message,
                                  static_cast<os::WParam>(link_state.atom), 0, os::kSmtoBlock,
                                  kSendTimeoutMs, &reply) != 0;
    if (!sent) os.Sleep(kRetryPauseMs);
  }
  if (!sent) {
    SetResult(result, os.GetLastError() != 0 ? IpcSendFailed : IpcTimedOut);
    return false;
  }
  std::optional<std::uint32_t> unknown_at;
  if (reply != 1 || !MarkAnswers(reads, &unknown_at)) {
    SetResult(result, IpcBadReply);
    return false;
  }
  for (std::uint32_t i = 0; i < reads; ++i) {
    const QueuedRead& read = queued_reads[i];
    if (read.answered && read.destination != nullptr && read.size != 0) {
      std::memcpy(read.destination, link_state.view + read.record_offset + kReadHeader, read.size);
    }
  }
  if (unknown_at) Put32(link_state.view + *unknown_at, kRecordEnd);
  delivered_reads = reads;
  SetResult(result, IpcOk);
  return true;
}

bool IpcAnswered(const void* destination) {
  for (std::uint32_t i = 0; i < delivered_reads; ++i) {
    if (queued_reads[i].destination == destination) return queued_reads[i].answered;
  }
  return false;
}

void IpcClose() {
  const os::OsCalls& os = os::Os();
  link_state.message = 0;
  link_state.server_window = nullptr;
  if (link_state.atom != 0) {
    os.GlobalDeleteAtom(link_state.atom);
    link_state.atom = 0;
  }
  if (link_state.view != nullptr) {
    os.UnmapViewOfFile(link_state.view);
    link_state.view = nullptr;
  }
  if (link_state.mapping != nullptr) {
    os.CloseHandle(link_state.mapping);
    link_state.mapping = nullptr;
  }
  queued_read_count = 0;  // the block they were queued in is gone
  delivered_reads = 0;
}

void IpcResetForTest() {
  link_state = {};
  queued_read_count = 0;
  delivered_reads = 0;
}

}  // namespace qel
