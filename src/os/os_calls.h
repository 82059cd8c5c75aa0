// The one seam between Qelmarin and the operating system: every Windows call the
// module, the stand-in server and qelsim make goes through the table `Os()`.
// On Windows it holds thin wrappers of the real calls; elsewhere the Linux
// stand-in's. Tests replace single entries to make a call fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qel::os {

// Our own names for the Windows types, so that no file outside the seam needs <windows.h>.
using Hwnd = void*;
using Handle = void*;
using Atom = std::uint16_t;
using Uint = std::uint32_t;
using Dword = std::uint32_t;
using Bool = int;
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;
using DwordPtr = std::uintptr_t;

// The Windows values the system uses, written once.
inline Handle const kInvalidHandleValue = reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));
constexpr Dword kPageReadWrite = 0x04;
constexpr Dword kFileMapWrite = 0x0002;
constexpr Uint kSmtoBlock = 0x0001;
constexpr Uint kWmDestroy = 0x0002;
constexpr Uint kWmClose = 0x0010;
constexpr Uint kWmCopyData = 0x004A;
constexpr Uint kWmUser = 0x0400;
constexpr Dword kErrorSuccess = 0;
constexpr Dword kErrorFileNotFound = 2;
constexpr Dword kErrorInvalidHandle = 6;
constexpr Dword kErrorNotEnoughMemory = 8;
constexpr Dword kErrorInvalidParameter = 87;
constexpr Dword kErrorAlreadyExists = 183;
constexpr Dword kErrorInvalidAddress = 487;
constexpr Dword kErrorInvalidWindowHandle = 1400;
constexpr Dword kErrorTimeout = 1460;

// The payload of kWmCopyData, laid out as Windows lays out COPYDATASTRUCT.
struct CopyData {
  std::uintptr_t tag;
  Dword size;
  void* data;
};

// A window procedure as the seam delivers it: `context` is what the creator passed.
using WindowProc = LResult (*)(void* context, Hwnd window, Uint message, WParam wparam,
                               LParam lparam);

// One typed member per call. Names are the Windows names; the last group are the
// C runtime calls the module's resources go through, so that their failure can be
// injected as well.
struct OsCalls {
  Hwnd (*FindWindowExA)(Hwnd parent, Hwnd child_after, const char* class_name, const char* title);
  Uint (*RegisterWindowMessageA)(const char* name);
  // wsprintfA with the one pattern the client uses: two unsigned numbers.
  int (*wsprintfA)(char* buffer, const char* format, Dword first, Dword second);
  Dword (*GetCurrentProcessId)();
  Atom (*GlobalAddAtomA)(const char* name);
  Atom (*GlobalDeleteAtom)(Atom atom);
  Uint (*GlobalGetAtomNameA)(Atom atom, char* buffer, int size);
  Handle (*CreateFileMappingA)(Handle file, void* security, Dword protect, Dword size_high,
                               Dword size_low, const char* name);
  Handle (*OpenFileMappingA)(Dword access, Bool inherit, const char* name);
  void* (*MapViewOfFile)(Handle mapping, Dword access, Dword offset_high, Dword offset_low,
                         std::size_t bytes);
  Bool (*UnmapViewOfFile)(const void* view);
  Bool (*CloseHandle)(Handle handle);
  LResult (*SendMessageTimeoutA)(Hwnd window, Uint message, WParam wparam, LParam lparam,
                                 Uint flags, Uint timeout_ms, DwordPtr* result);
  void (*Sleep)(Dword milliseconds);
  Dword (*GetLastError)();
  void (*SetLastError)(Dword error);
  Dword (*GetTickCount)();
  // A hidden top-level window of the given class whose messages go to `proc`
  // (RegisterClassA and CreateWindowExA on Windows). The proc hears kWmCopyData,
  // kWmDestroy, every message from kWmUser up, and kWmClose, on which it alone
  // decides whether to destroy the window; Windows keeps the rest.
  Hwnd (*CreateWindowA)(const char* class_name, WindowProc proc, void* context);
  Bool (*DestroyWindow)(Hwnd window);

  std::FILE* (*fopen)(const char* path, const char* mode);
  void* (*calloc)(std::size_t count, std::size_t size);
};

// The live table. Entries may be replaced; `DefaultOsCalls()` gives the originals back.
OsCalls& Os();
const OsCalls& DefaultOsCalls();

// Defined once per platform: the real calls on Windows, the stand-in's elsewhere.
const OsCalls& PlatformOsCalls();

}  // namespace qel::os
