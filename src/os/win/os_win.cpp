// The seam's table on Windows: thin typed wrappers of the real calls, and the
// hidden top-level windows whose messages go to a seam WindowProc.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "os/os_calls.h"

namespace qel::os {

namespace {

HWND ToHwnd(Hwnd window) {
  return static_cast<HWND>(window);
}

Hwnd FindWindowExWrap(Hwnd parent, Hwnd child_after, const char* class_name, const char* title) {
  return ::FindWindowExA(ToHwnd(parent), ToHwnd(child_after), class_name, title);
}

Uint RegisterWindowMessageWrap(const char* name) {
  return ::RegisterWindowMessageA(name);
}

int WsprintfWrap(char* buffer, const char* format, Dword first, Dword second) {
  return ::wsprintfA(buffer, format, first, second);
}

Dword GetCurrentProcessIdWrap() {
  return ::GetCurrentProcessId();
}

Atom GlobalAddAtomWrap(const char* name) {
  return ::GlobalAddAtomA(name);
}

Atom GlobalDeleteAtomWrap(Atom atom) {
  return ::GlobalDeleteAtom(atom);
}

Uint GlobalGetAtomNameWrap(Atom atom, char* buffer, int size) {
  return ::GlobalGetAtomNameA(atom, buffer, size);
}

Handle CreateFileMappingWrap(Handle file, void* security, Dword protect, Dword size_high,
                             Dword size_low, const char* name) {
  return ::CreateFileMappingA(file, static_cast<LPSECURITY_ATTRIBUTES>(security), protect,
                              size_high, size_low, name);
}

Handle OpenFileMappingWrap(Dword access, Bool inherit, const char* name) {
  return ::OpenFileMappingA(access, inherit, name);
}

void* MapViewOfFileWrap(Handle mapping, Dword access, Dword offset_high, Dword offset_low,
                        std::size_t bytes) {
  return ::MapViewOfFile(mapping, access, offset_high, offset_low, bytes);
}

Bool UnmapViewOfFileWrap(const void* view) {
  return ::UnmapViewOfFile(view);
}

Bool CloseHandleWrap(Handle handle) {
  return ::CloseHandle(handle);
}

LResult SendMessageTimeoutWrap(Hwnd window, Uint message, WParam wparam, LParam lparam, Uint flags,
                               Uint timeout_ms, DwordPtr* result) {
  DWORD_PTR reply = 0;
  const LRESULT sent =
      ::SendMessageTimeoutA(ToHwnd(window), message, wparam, lparam, flags, timeout_ms, &reply);
  if (sent != 0 && result != nullptr) *result = reply;
  return sent;
}

void SleepWrap(Dword milliseconds) {
  ::Sleep(milliseconds);
}

Dword GetLastErrorWrap() {
  return ::GetLastError();
}

void SetLastErrorWrap(Dword error) {
  ::SetLastError(error);
}

Dword GetTickCountWrap() {
  return ::GetTickCount();
}

// What a seam window carries in GWLP_USERDATA.
struct ProcSlot {
  WindowProc proc;
  void* context;
};

// Hands a window's messages to its seam proc. Creation and housekeeping messages
// stay with Windows; the proc sees kWmCopyData, kWmDestroy, every message from
// kWmUser up (registered ones included), and kWmClose, where it alone decides
// whether the window goes.
LRESULT CALLBACK Trampoline(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return ::DefWindowProcA(window, message, wparam, lparam);
  }
  auto* slot = reinterpret_cast<ProcSlot*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    delete slot;
    return ::DefWindowProcA(window, message, wparam, lparam);
  }
  const bool forwarded =
      message == WM_COPYDATA || message == WM_CLOSE || message == WM_DESTROY || message >= WM_USER;
  if (slot == nullptr || !forwarded) return ::DefWindowProcA(window, message, wparam, lparam);
  return slot->proc(slot->context, window, message, wparam, lparam);
}

// The module these wrappers are linked into: its classes are registered under it.
HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&Trampoline), &module);
  return module;
}

Hwnd CreateWindowWrap(const char* class_name, WindowProc proc, void* context) {
  const HINSTANCE instance = ThisModule();
  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = &Trampoline;
  window_class.hInstance = instance;
  window_class.lpszClassName = class_name;
  // A second window of the same class finds the class already there.
  if (::RegisterClassA(&window_class) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return nullptr;
  }
  auto* slot = new ProcSlot{proc, context};
  // Top-level (no parent, not message-only), so that FindWindowExA without a
  // parent finds it; never shown.
  HWND window =
      ::CreateWindowExA(0, class_name, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, slot);
  if (window == nullptr) delete slot;  // WM_NCDESTROY never came to free it
  return window;
}

Bool DestroyWindowWrap(Hwnd window) {
  return ::DestroyWindow(ToHwnd(window));
}

std::FILE* FopenWrap(const char* path, const char* mode) {
  return std::fopen(path, mode);
}

void* CallocWrap(std::size_t count, std::size_t size) {
  return std::calloc(count, size);
}

}  // namespace

const OsCalls& PlatformOsCalls() {
  static const OsCalls table = {
      .FindWindowExA = FindWindowExWrap,
      .RegisterWindowMessageA = RegisterWindowMessageWrap,
      .wsprintfA = WsprintfWrap,
      .GetCurrentProcessId = GetCurrentProcessIdWrap,
      .GlobalAddAtomA = GlobalAddAtomWrap,
      .GlobalDeleteAtom = GlobalDeleteAtomWrap,
      .GlobalGetAtomNameA = GlobalGetAtomNameWrap,
      .CreateFileMappingA = CreateFileMappingWrap,
      .OpenFileMappingA = OpenFileMappingWrap,
      .MapViewOfFile = MapViewOfFileWrap,
      .UnmapViewOfFile = UnmapViewOfFileWrap,
      .CloseHandle = CloseHandleWrap,
      .SendMessageTimeoutA = SendMessageTimeoutWrap,
      .Sleep = SleepWrap,
      .GetLastError = GetLastErrorWrap,
      .SetLastError = SetLastErrorWrap,
      .GetTickCount = GetTickCountWrap,
      .CreateWindowA = CreateWindowWrap,
      .DestroyWindow = DestroyWindowWrap,
      .fopen = FopenWrap,
      .calloc = CallocWrap,
  };
  return table;
}

}  // namespace qel::os
