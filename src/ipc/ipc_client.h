// The client half of the IPC server's shared-memory request protocol: the link
// state, the request block, the exchange and the link opening with its handshake.
#pragma once

#include <cstdint>

#include "os/os_calls.h"

namespace qel {

enum IpcResult : std::uint32_t {
  IpcOk = 0,
  IpcAlreadyOpen = 1,
  IpcNoServer = 2,
  IpcNoMessage = 3,
  IpcNoAtom = 4,
  IpcNoMapping = 5,
  IpcNoView = 6,
  IpcBadVersion = 7,
  IpcWrongSim = 8,
  IpcNotOpen = 9,
  IpcNothingQueued = 10,
  IpcTimedOut = 11,
  IpcSendFailed = 12,
  IpcBadReply = 13,
  IpcServerNotRunning = 14,
  IpcBlockFull = 15,
};

// The fixed text of a result code; codes beyond 15 give a text that says so.
const char* IpcResultText(std::uint32_t code);

// Offsets in the server's data space that the module uses.
namespace offset {
constexpr std::uint32_t kClock = 0x0238;
constexpr std::uint32_t kLatitude = 0x0560;
constexpr std::uint32_t kLongitude = 0x0568;
constexpr std::uint32_t kLightWord = 0x0DDE;
constexpr std::uint32_t kVisibility = 0x0E8A;
constexpr std::uint32_t kServerVersion = 0x3304;
constexpr std::uint32_t kSimVersion = 0x3308;
constexpr std::uint32_t kClientVersion = 0x330A;
}  // namespace offset

// Protocol constants shared by the client and the stand-in server.
namespace ipc {
constexpr std::uint32_t kMappingSize = 0x8000;
constexpr std::uint32_t kUsableSize = 0x7F00;
constexpr std::uint32_t kReadHeader = 16;
constexpr std::uint32_t kWriteHeader = 12;
constexpr std::uint32_t kRecordEnd = 0;
constexpr std::uint32_t kRecordRead = 1;
constexpr std::uint32_t kRecordWrite = 2;
constexpr std::uint32_t kSendAttempts = 9;
constexpr std::uint32_t kSendTimeoutMs = 2000;
constexpr std::uint32_t kRetryPauseMs = 100;
constexpr std::uint32_t kHandshakeAttempts = 5;
constexpr std::uint32_t kHandshakePauseMs = 100;
constexpr std::uint16_t kClientVersion = 2002;
constexpr std::uint32_t kMinServerVersion = 0x19980005;
constexpr std::uint32_t kSimPattern = 0xFADE;
constexpr const char* kServerClass = "UIPCMAIN";
constexpr const char* kNetworkClientClass = "FS98MAIN";
constexpr const char* kMessageName = "FsasmLib:IPC";
constexpr const char* kMappingNameFormat = "FsasmLib:IPC:%X:%X";
constexpr int kMappingNameMax = 260;
}  // namespace ipc

// The module-wide link state; `view` non-null means the link is open.
struct IpcLink {
  os::Hwnd server_window;
  std::uint32_t message;
  os::Atom atom;
  os::Handle mapping;
  std::uint8_t* view;
  std::uint8_t* next;
  std::uint32_t server_version;
  std::uint32_t sim_version;
  std::uint32_t open_counter;
};
const IpcLink& IpcLinkState();

bool IpcOpen(std::uint32_t requested, std::uint32_t* result);
bool IpcRead(std::uint32_t offset, std::uint32_t size, void* destination, std::uint32_t* result);
bool IpcWrite(std::uint32_t offset, std::uint32_t size, const void* source, std::uint32_t* result);
bool IpcProcess(std::uint32_t* result);
// Whether the last IpcProcess, if it succeeded, delivered an answer to the read
// queued with `destination`. A server can answer and still leave reads unanswered:
// a record of unknown type ends the reply's walk, and the reads after it keep
// whatever their variables held.
bool IpcAnswered(const void* destination);
void IpcClose();

// Tests only: forget the link state as if the process had just started.
void IpcResetForTest();

}  // namespace qel
