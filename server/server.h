// The stand-in IPC server: a window that carries out request blocks against a
// simulator data space, written against the seam alone so that the same code runs
// in-process on the Linux stand-in and as a real window in its own Windows process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/os_calls.h"

namespace qel::server {

enum class WindowClass {
  kIpcServer,      // "UIPCMAIN"
  kNetworkClient,  // "FS98MAIN"
  kNone,           // no window at all
};

constexpr std::uint32_t kDataSpaceSize = 0x10000;
constexpr std::uint32_t kDefaultServerVersion = 0x20000000;
constexpr std::uint32_t kDefaultSimVersionWord = 0xFADE0007;
// Long enough for the sender's 2000 ms time-out to pass, short enough that the
// window is free again when the sender retries after its 100 ms pause.
constexpr std::uint32_t kDefaultHangMs = 2050;

// The private messages a host program drives the server with: a kWmCopyData
// state record under this tag, and a registered message that answers the light word.
constexpr std::uintptr_t kStateTag = 0x51454C53;
constexpr const char* kLightWordQueryName = "QelServer:LightWord";

struct ServerOptions {
  WindowClass window_class = WindowClass::kIpcServer;
  std::uint32_t server_version = kDefaultServerVersion;     // read at 0x3304
  std::uint32_t sim_version_word = kDefaultSimVersionWord;  // read at 0x3308
  // IPC requests numbered from..to (counting from 1 every request message the
  // window receives) are neither carried out nor answered in time; 0 leaves none.
  std::uint32_t ignore_from = 0;
  std::uint32_t ignore_to = 0;
  std::uint32_t hang_ms = kDefaultHangMs;
  os::LResult answer = 1;  // what a carried-out request answers
  // The first N handshakes (requests that read a version word) see both versions as 0.
  std::uint32_t zero_versions_for = 0;
  // Runs after a request was carried out, with the whole mapped block, before the answer.
  std::function<void(std::uint8_t* block, std::size_t size)> tamper = nullptr;
  // Runs when the window has been destroyed (a program's cue to end its message loop).
  std::function<void()> on_destroyed = nullptr;
};

// The simulator state a host program sets through ServerSendState.
struct SimState {
  std::uint8_t hour = 0;
  std::uint8_t minute = 0;
  std::uint8_t second = 0;
  std::uint16_t visibility_raw = 0;
  std::int64_t latitude_raw = 0;
  std::int64_t longitude_raw = 0;
  std::optional<std::uint16_t> light_word = std::nullopt;  // left as it is when absent
};

class Server {
 public:
  explicit Server(ServerOptions options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Null for WindowClass::kNone, when the window could not be created, or once destroyed.
  os::Hwnd window() const { return window_; }
  ServerOptions& options() { return options_; }

  // The data space as the simulator holds it; the version words live apart.
  void Write(std::uint32_t offset, const void* data, std::size_t size);
  void Read(std::uint32_t offset, void* data, std::size_t size) const;
  void SetState(const SimState& state);
  std::uint16_t LightWord() const;

  std::uint32_t requests() const { return requests_; }  // IPC request messages received
  std::uint32_t ignored() const { return ignored_; }
  std::uint32_t handshakes() const { return handshakes_; }
  // The client's version as last written at 0x330A, if it ever was.
  std::optional<std::uint16_t> client_version() const { return client_version_; }
  // The mapping name of the last request that reached the server.
  const std::string& last_mapping_name() const { return last_mapping_name_; }

 private:
  static os::LResult Proc(void* context, os::Hwnd window, os::Uint message, os::WParam wparam,
                          os::LParam lparam);
  os::LResult OnRequest(os::WParam atom);
  os::LResult OnCopyData(os::LParam lparam);
  void CarryOut(std::uint8_t* block);
  void ReadSpace(std::uint64_t offset, std::uint8_t* out, std::uint32_t size, bool zero_versions);
  void WriteSpace(std::uint64_t offset, const std::uint8_t* in, std::uint32_t size);

  ServerOptions options_;
  os::Hwnd window_ = nullptr;
  os::Uint request_message_ = 0;
  os::Uint light_word_message_ = 0;
  std::vector<std::uint8_t> data_;
  std::uint8_t client_version_bytes_[2] = {};
  std::optional<std::uint16_t> client_version_;
  std::uint32_t requests_ = 0;
  std::uint32_t ignored_ = 0;
  std::uint32_t handshakes_ = 0;
  std::string last_mapping_name_;
};

// Client-side helpers for a host program; they work through the seam, so in-process
// on the stand-in and across processes on Windows. False or empty when the server
// window does not take the message.
bool ServerSendState(os::Hwnd server_window, const SimState& state);
std::optional<std::uint16_t> ServerQueryLightWord(os::Hwnd server_window);

}  // namespace qel::server
