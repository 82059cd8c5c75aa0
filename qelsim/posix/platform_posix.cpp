// qelsim on Linux: dlopen for the module, the stand-in server in this process.
#include <dlfcn.h>

#include <filesystem>

#include "qelsim/platform.h"
#include "server/server.h"

namespace qel::sim {

const char* const kModuleFileName = "Qelmarin.so";

bool LoadModuleLibrary(const std::string& path, ModuleLibrary* library, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *error = path + ": cannot load the module: " + dlerror();
    return false;
  }
  library->handle = handle;
  library->import_table = static_cast<ImportPair*>(dlsym(handle, "ImportTable"));
  library->linkage = static_cast<LinkageRecord*>(dlsym(handle, "Linkage"));
  if (library->import_table == nullptr || library->linkage == nullptr) {
    *error = path + ": the module exports no ImportTable or no Linkage";
    UnloadModuleLibrary(library);
    return false;
  }
  return true;
}

void UnloadModuleLibrary(ModuleLibrary* library) {
  if (library->handle != nullptr) dlclose(library->handle);
  *library = ModuleLibrary{};
}

std::string ExecutableDir() {
  std::error_code ignored;
  return std::filesystem::canonical("/proc/self/exe", ignored).parent_path().string();
}

namespace {

class InProcessServer : public ServerLink {
 public:
  explicit InProcessServer(const server::ServerOptions& options) : server_(options) {}
  os::Hwnd window() const override { return server_.window(); }

 private:
  server::Server server_;
};

}  // namespace

std::unique_ptr<ServerLink> StartServer(const ServerSettings& settings, std::string* error) {
  server::ServerOptions options;
  options.window_class = settings.kind == ServerKind::kIpcServer ? server::WindowClass::kIpcServer
                         : settings.kind == ServerKind::kNetworkClient
                             ? server::WindowClass::kNetworkClient
                             : server::WindowClass::kNone;
  options.server_version = settings.server_version;
  options.sim_version_word = settings.sim_version;
  options.ignore_from = settings.ignore_from;
  options.ignore_to = settings.ignore_to;
  auto link = std::make_unique<InProcessServer>(options);
  if (settings.kind != ServerKind::kNone && link->window() == nullptr) {
    *error = "cannot create the stand-in server's window";
    return nullptr;
  }
  return link;
}

}  // namespace qel::sim
