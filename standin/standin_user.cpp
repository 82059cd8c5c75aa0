// The stand-in's user side: top-level windows found by class, registered
// messages, and sends that call the window's proc at once on the virtual clock.
#include <algorithm>
#include <cstdio>

#include "standin/standin_internal.h"

namespace qel::standin::detail {

namespace {

constexpr std::uintptr_t kFirstWindow = 0x00020000;
constexpr std::uintptr_t kWindowStep = 0x10;
constexpr os::Uint kFirstMessage = 0xC000;
constexpr os::Uint kLastMessage = 0xFFFF;
constexpr int kWsprintfLimit = 1024;  // wsprintfA never writes more, terminator included

std::vector<Window>::iterator FindWindow(State& state, os::Hwnd hwnd) {
  return std::find_if(state.windows.begin(), state.windows.end(),
                      [hwnd](const Window& window) { return window.hwnd == hwnd; });
}

// A live window's proc and context, and the clock, read under the lock so that the
// proc can then run without it; false with ERROR_INVALID_WINDOW_HANDLE otherwise.
bool WindowProcOf(os::Hwnd window, os::WindowProc* proc, void** context, std::uint64_t* now) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  auto found = FindWindow(state, window);
  if (found == state.windows.end()) {
    SetLastError(os::kErrorInvalidWindowHandle);
    return false;
  }
  *proc = found->proc;
  *context = found->context;
  *now = state.now_ms;
  return true;
}

}  // namespace

void ResetUser(State& state) {
  state.windows.clear();
  state.messages.clear();
  state.next_message = 0;
}

os::Hwnd FindWindowExA(os::Hwnd parent, os::Hwnd child_after, const char* class_name,
                       const char* title) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  // Only top-level windows exist here, and none has a title.
  if (parent != nullptr) {
    SetLastError(os::kErrorInvalidWindowHandle);
    return nullptr;
  }
  auto from = state.windows.begin();
  if (child_after != nullptr) {
    from = FindWindow(state, child_after);
    if (from == state.windows.end()) {
      SetLastError(os::kErrorInvalidWindowHandle);
      return nullptr;
    }
    ++from;
  }
  if (title != nullptr && *title != '\0') return nullptr;
  const std::string wanted = class_name != nullptr ? Upper(class_name) : std::string();
  for (auto it = from; it != state.windows.end(); ++it) {
    if (class_name == nullptr || Upper(it->class_name.c_str()) == wanted) return it->hwnd;
  }
  return nullptr;
}

os::Uint RegisterWindowMessageA(const char* name) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (name == nullptr || *name == '\0') {
    SetLastError(os::kErrorInvalidParameter);
    return 0;
  }
  const std::string key = Upper(name);
  if (auto found = state.messages.find(key); found != state.messages.end()) return found->second;
  if (state.next_message > kLastMessage - kFirstMessage) {
    SetLastError(os::kErrorNotEnoughMemory);
    return 0;
  }
  const os::Uint id = kFirstMessage + state.next_message++;
  state.messages.emplace(key, id);
  return id;
}

int wsprintfA(char* buffer, const char* format, os::Dword first, os::Dword second) {
  const int length = std::snprintf(buffer, kWsprintfLimit, format, first, second);
  return std::clamp(length, 0, kWsprintfLimit - 1);
}

os::LResult SendMessageTimeoutA(os::Hwnd window, os::Uint message, os::WParam wparam,
                                os::LParam lparam, os::Uint /*flags*/, os::Uint timeout_ms,
                                os::DwordPtr* result) {
  State& state = TheState();
  os::WindowProc proc = nullptr;
  void* context = nullptr;
  std::uint64_t start = 0;
  if (!WindowProcOf(window, &proc, &context, &start)) return 0;
  // The proc stands for another thread's work: what it does to the last error is
  // not the sender's, and only its virtual time decides whether the reply came in time.
  const os::Dword sender_error = GetLastError();
  const os::LResult answer = proc(context, window, message, wparam, lparam);
  SetLastError(sender_error);
  {
    std::lock_guard lock(state.mutex);
    if (state.now_ms > start + timeout_ms) {
      state.now_ms = start + timeout_ms;  // the sender gave up at its time-out
      SetLastError(os::kErrorTimeout);
      return 0;
    }
  }
  if (result != nullptr) *result = static_cast<os::DwordPtr>(answer);
  return 1;
}

os::Hwnd CreateWindowA(const char* class_name, os::WindowProc proc, void* context) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (class_name == nullptr || *class_name == '\0' || proc == nullptr) {
    SetLastError(os::kErrorInvalidParameter);
    return nullptr;
  }
  const auto hwnd = reinterpret_cast<os::Hwnd>(kFirstWindow + kWindowStep * state.next_window++);
  state.windows.insert(state.windows.begin(), Window{hwnd, class_name, proc, context});
  return hwnd;
}

os::Bool DestroyWindow(os::Hwnd window) {
  State& state = TheState();
  os::WindowProc proc = nullptr;
  void* context = nullptr;
  std::uint64_t now = 0;
  if (!WindowProcOf(window, &proc, &context, &now)) return 0;
  // As on Windows the window hears of its end while it still exists.
  proc(context, window, os::kWmDestroy, 0, 0);
  std::lock_guard lock(state.mutex);
  if (auto found = FindWindow(state, window); found != state.windows.end()) {
    state.windows.erase(found);
  }
  return 1;
}

}  // namespace qel::standin::detail
