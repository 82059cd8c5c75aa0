// What qelsim needs of its platform: loading the module library by path, where
// its own executable lies, and a stand-in IPC server to talk to (in-process on
// Linux, a process of its own on Windows).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "module/linkage.h"
#include "os/os_calls.h"

namespace qel::sim {

struct ModuleLibrary {
  void* handle = nullptr;
  ImportPair* import_table = nullptr;
  LinkageRecord* linkage = nullptr;
};

// Loads the library and finds ImportTable and Linkage by name.
bool LoadModuleLibrary(const std::string& path, ModuleLibrary* library, std::string* error);
void UnloadModuleLibrary(ModuleLibrary* library);

std::string ExecutableDir();
// The module library's file name on this platform.
extern const char* const kModuleFileName;

enum class ServerKind { kIpcServer, kNetworkClient, kNone };

struct ServerSettings {
  ServerKind kind = ServerKind::kIpcServer;
  std::uint32_t server_version = 0x19980005;
  std::uint32_t sim_version = 0xFADE0009;
  std::uint32_t ignore_from = 0;
  std::uint32_t ignore_to = 0;
};

class ServerLink {
 public:
  virtual ~ServerLink() = default;
  // The server's window, null when it presents none.
  virtual os::Hwnd window() const = 0;
};

std::unique_ptr<ServerLink> StartServer(const ServerSettings& settings, std::string* error);

}  // namespace qel::sim
