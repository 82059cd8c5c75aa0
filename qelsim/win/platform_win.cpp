// qelsim on Windows: LoadLibrary for the module, and the stand-in server as a
// process of its own (qelserver.exe beside qelsim.exe), so that the module's
// link crosses a real process boundary.
#include <windows.h>

#include <string>

#include "qelsim/platform.h"

namespace qel::sim {

const char* const kModuleFileName = "Qelmarin.dll";

bool LoadModuleLibrary(const std::string& path, ModuleLibrary* library, std::string* error) {
  HMODULE handle = ::LoadLibraryA(path.c_str());
  if (handle == nullptr) {
    *error = path + ": cannot load the module (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  library->handle = handle;
  library->import_table = reinterpret_cast<ImportPair*>(
      reinterpret_cast<void*>(::GetProcAddress(handle, "ImportTable")));
  library->linkage = reinterpret_cast<LinkageRecord*>(
      reinterpret_cast<void*>(::GetProcAddress(handle, "Linkage")));
  if (library->import_table == nullptr || library->linkage == nullptr) {
    *error = path + ": the module exports no ImportTable or no Linkage";
    UnloadModuleLibrary(library);
    return false;
  }
  return true;
}

void UnloadModuleLibrary(ModuleLibrary* library) {
  if (library->handle != nullptr) ::FreeLibrary(static_cast<HMODULE>(library->handle));
  *library = ModuleLibrary{};
}

std::string ExecutableDir() {
  char path[MAX_PATH];
  DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path, length);
  std::size_t slash = dir.find_last_of("\\/");
  return slash == std::string::npos ? "." : dir.substr(0, slash);
}

namespace {

class ServerProcess : public ServerLink {
 public:
  ServerProcess(PROCESS_INFORMATION process, HWND window) : process_(process), window_(window) {}
  ~ServerProcess() override {
    if (window_ != nullptr) ::PostMessageA(window_, WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0)
      ::TerminateProcess(process_.hProcess, 1);
    ::CloseHandle(process_.hThread);
    ::CloseHandle(process_.hProcess);
  }
  os::Hwnd window() const override { return window_; }

 private:
  PROCESS_INFORMATION process_;
  HWND window_;
};

class NoServer : public ServerLink {
 public:
  os::Hwnd window() const override { return nullptr; }
};

// Reads the server's first line from its standard output: "ready" once its window exists.
std::string ReadFirstLine(HANDLE pipe) {
  std::string line;
  char c;
  DWORD got = 0;
  while (::ReadFile(pipe, &c, 1, &got, nullptr) && got == 1 && c != '\n') line += c;
  while (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::unique_ptr<ServerLink> StartServer(const ServerSettings& settings, std::string* error) {
  if (settings.kind == ServerKind::kNone) return std::make_unique<NoServer>();
  const char* window_class = settings.kind == ServerKind::kIpcServer ? "UIPCMAIN" : "FS98MAIN";
  char numbers[200];
  std::snprintf(numbers, sizeof numbers,
                " --class=%s --server-version=0x%08lX --sim-version=0x%08lX --ignore=%lu-%lu",
                window_class, static_cast<unsigned long>(settings.server_version),
                static_cast<unsigned long>(settings.sim_version),
                static_cast<unsigned long>(settings.ignore_from),
                static_cast<unsigned long>(settings.ignore_to));
  std::string program = ExecutableDir() + "\\qelserver.exe";
  std::string command = "\"" + program + "\"" + numbers;

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) {
    *error = "cannot create a pipe to the stand-in server";
    return nullptr;
  }
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  BOOL started = ::CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
  ::CloseHandle(write_end);
  if (!started) {
    ::CloseHandle(read_end);
    *error = program + ": cannot start the stand-in server (error " +
             std::to_string(::GetLastError()) + ")";
    return nullptr;
  }
  std::string line = ReadFirstLine(read_end);
  ::CloseHandle(read_end);
  HWND window =
      line == "ready" ? ::FindWindowExA(nullptr, nullptr, window_class, nullptr) : nullptr;
  auto link = std::make_unique<ServerProcess>(process, window);
  if (window == nullptr) {
    *error = "the stand-in server did not come up (it said '" + line + "')";
    return nullptr;
  }
  return link;
}

}  // namespace qel::sim
