// qelserver: the stand-in IPC server as a real window in a process of its own,
// for end-to-end runs of the module under Windows or Wine.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/server.h"

namespace {

constexpr const char* kUsage =
    "usage: qelserver [--class=UIPCMAIN|FS98MAIN] [--server-version=N] [--sim-version=N]\n"
    "                 [--ignore=FROM-TO] [--answer=N] [--zero-versions=N] [--hang-ms=N]\n"
    "Numbers may be decimal or 0x-prefixed hexadecimal. Prints \"ready\" once its window\n"
    "exists and runs until the window is closed.\n";

bool ParseNumber(const char* text, unsigned long long* value) {
  char* end = nullptr;
  *value = std::strtoull(text, &end, 0);
  return end != text && *end == '\0';
}

// Fills `options` from "--name=value" arguments; false on anything it does not know.
bool ParseOptions(int argc, char** argv, qel::server::ServerOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::size_t equals = argument.find('=');
    if (argument.rfind("--", 0) != 0 || equals == std::string::npos) return false;
    const std::string name = argument.substr(2, equals - 2);
    const std::string text = argument.substr(equals + 1);
    unsigned long long value = 0;
    if (name == "class") {
      if (text == "UIPCMAIN") {
        options->window_class = qel::server::WindowClass::kIpcServer;
      } else if (text == "FS98MAIN") {
        options->window_class = qel::server::WindowClass::kNetworkClient;
      } else {
        return false;
      }
    } else if (name == "ignore") {
      const std::size_t dash = text.find('-');
      unsigned long long from = 0;
      unsigned long long to = 0;
      if (dash == std::string::npos || !ParseNumber(text.substr(0, dash).c_str(), &from) ||
          !ParseNumber(text.substr(dash + 1).c_str(), &to)) {
        return false;
      }
      options->ignore_from = static_cast<std::uint32_t>(from);
      options->ignore_to = static_cast<std::uint32_t>(to);
    } else if (!ParseNumber(text.c_str(), &value)) {
      return false;
    } else if (name == "server-version") {
      options->server_version = static_cast<std::uint32_t>(value);
    } else if (name == "sim-version") {
      options->sim_version_word = static_cast<std::uint32_t>(value);
    } else if (name == "answer") {
      options->answer = static_cast<qel::os::LResult>(value);
    } else if (name == "zero-versions") {
      options->zero_versions_for = static_cast<std::uint32_t>(value);
    } else if (name == "hang-ms") {
      options->hang_ms = static_cast<std::uint32_t>(value);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qel::server::ServerOptions options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  options.on_destroyed = [] { ::PostQuitMessage(0); };
  qel::server::Server server(options);
  if (server.window() == nullptr) {
    std::fprintf(stderr, "qelserver: cannot create the server window (error %lu)\n",
                 ::GetLastError());
    return 1;
  }
  std::puts("ready");
  std::fflush(stdout);
  MSG message;
  while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  return 0;
}
