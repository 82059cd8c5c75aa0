// Opening the link: finding the server window, the uniquely named shared block and
// its atom, and the version handshake.
#include "ipc/ipc_state.h"

namespace qel {

using namespace ipc;

namespace {

// Releases what the opening acquired and reports why it failed.
bool FailOpen(std::uint32_t* result, std::uint32_t code) {
  IpcClose();
  if (result != nullptr) *result = code;
  return false;
}

// Asks for both version words until both read non-zero, at most five times; the
// client's own version goes with the first request only. False, with the failing
// call's code in `code`, when a request cannot be queued or exchanged.
bool Handshake(std::uint32_t* code) {
  const std::uint16_t client_version = kClientVersion;
  for (std::uint32_t attempt = 1; attempt <= kHandshakeAttempts; ++attempt) {
    if (attempt > 1 && link_state.server_version != 0 && link_state.sim_version != 0) break;
    if (!IpcRead(offset::kServerVersion, 4, &link_state.server_version, code) ||
        !IpcRead(offset::kSimVersion, 4, &link_state.sim_version, code) ||
        (attempt == 1 && !IpcWrite(offset::kClientVersion, 2, &client_version, code)) ||
        !IpcProcess(code)) {
      return false;
    }
    os::Os().Sleep(kHandshakePauseMs);
  }
  return true;
}

}  // namespace

bool IpcOpen(std::uint32_t requested, std::uint32_t* result) {
  if (link_state.view != nullptr) {
    SetResult(result, IpcAlreadyOpen);
    return false;
  }
  const os::OsCalls& os = os::Os();
  link_state.server_version = 0;
  link_state.sim_version = 0;

  bool network_client = false;
  link_state.server_window = os.FindWindowExA(nullptr, nullptr, kServerClass, nullptr);
  if (link_state.server_window == nullptr) {
    link_state.server_window = os.FindWindowExA(nullptr, nullptr, kNetworkClientClass, nullptr);
    network_client = true;
  }
  if (link_state.server_window == nullptr) {
    SetResult(result, IpcNoServer);
    return false;
  }
  link_state.message = os.RegisterWindowMessageA(kMessageName);
  if (link_state.message == 0) {
    SetResult(result, IpcNoMessage);
    return false;
  }

  // A fresh number per opening gives each a name not used before in this process.
  ++link_state.open_counter;
  char name[kMappingNameMax] = {};
  os.wsprintfA(name, kMappingNameFormat, os.GetCurrentProcessId(), link_state.open_counter);

  link_state.atom = os.GlobalAddAtomA(name);
  if (link_state.atom == 0) return FailOpen(result, IpcNoAtom);
  link_state.mapping = os.CreateFileMappingA(os::kInvalidHandleValue, nullptr, os::kPageReadWrite,
                                             0, kMappingSize, name);
  // A name someone else already holds would hand our requests to a block they control.
  if (link_state.mapping == nullptr || os.GetLastError() == os::kErrorAlreadyExists) {
    return FailOpen(result, IpcNoMapping);
  }
  link_state.view =
      static_cast<std::uint8_t*>(os.MapViewOfFile(link_state.mapping, os::kFileMapWrite, 0, 0, 0));
  if (link_state.view == nullptr) return FailOpen(result, IpcNoView);
  link_state.next = link_state.view;
  queued_read_count = 0;

  std::uint32_t code = IpcOk;
  if (!Handshake(&code)) return FailOpen(result, code);
  if (link_state.server_version < kMinServerVersion ||
      (link_state.sim_version >> 16) != kSimPattern) {
    return FailOpen(result, network_client ? IpcServerNotRunning : IpcBadVersion);
  }
  link_state.sim_version &= 0xFFFF;
  if (requested != 0 && requested != link_state.sim_version) {
    return FailOpen(result, IpcWrongSim);
  }
  SetResult(result, IpcOk);
  return true;
}

}  // namespace qel
