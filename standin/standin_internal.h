// The stand-in's shared state and the calls each of its files contributes to the
// seam's table. Private to standin/.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/os_calls.h"
#include "standin/standin.h"

namespace qel::standin::detail {

struct Window {
  os::Hwnd hwnd;
  std::string class_name;
  os::WindowProc proc;
  void* context;
};

struct Mapping {
  std::string name;  // empty for an unnamed mapping
  std::size_t size;
  std::unique_ptr<std::uint8_t[]> bytes;
};

struct AtomEntry {
  std::string name;
  std::uint32_t references;
};

struct View {
  std::uint8_t* base;
  std::shared_ptr<Mapping> mapping;
};

struct State {
  std::mutex mutex;
  std::uint64_t now_ms = 0;
  std::uint32_t process_id = kDefaultProcessId;

  std::vector<Window> windows;  // newest first, as a fresh top-level window sits on top
  std::uintptr_t next_window = 0;
  std::map<std::string, os::Uint> messages;  // keyed by upper-cased name
  os::Uint next_message = 0;

  std::map<os::Atom, AtomEntry> atoms;
  os::Atom next_atom = 0;

  std::map<std::string, std::weak_ptr<Mapping>> named_mappings;  // keyed by exact name
  std::map<os::Handle, std::shared_ptr<Mapping>> handles;
  std::uintptr_t next_handle = 0;
  std::vector<View> views;
};

// The one instance; lock its mutex for every access.
State& TheState();

// Window names, class names, atom and message names compare without regard to case.
std::string Upper(const char* text);

// Forget the objects of each side; the caller holds the lock. Window and handle
// values are never given out twice, so an owner that outlived a reset cannot
// reach another's object through its stale value.
void ResetUser(State& state);
void ResetKernel(State& state);

// Per-thread last error.
os::Dword GetLastError();
void SetLastError(os::Dword error);

// User side (standin_user.cpp).
os::Hwnd FindWindowExA(os::Hwnd parent, os::Hwnd child_after, const char* class_name,
                       const char* title);
os::Uint RegisterWindowMessageA(const char* name);
int wsprintfA(char* buffer, const char* format, os::Dword first, os::Dword second);
os::LResult SendMessageTimeoutA(os::Hwnd window, os::Uint message, os::WParam wparam,
                                os::LParam lparam, os::Uint flags, os::Uint timeout_ms,
                                os::DwordPtr* result);
os::Hwnd CreateWindowA(const char* class_name, os::WindowProc proc, void* context);
os::Bool DestroyWindow(os::Hwnd window);

// Kernel side (standin_kernel.cpp).
os::Dword GetCurrentProcessId();
os::Atom GlobalAddAtomA(const char* name);
os::Atom GlobalDeleteAtom(os::Atom atom);
os::Uint GlobalGetAtomNameA(os::Atom atom, char* buffer, int size);
os::Handle CreateFileMappingA(os::Handle file, void* security, os::Dword protect,
                              os::Dword size_high, os::Dword size_low, const char* name);
os::Handle OpenFileMappingA(os::Dword access, os::Bool inherit, const char* name);
void* MapViewOfFile(os::Handle mapping, os::Dword access, os::Dword offset_high,
                    os::Dword offset_low, std::size_t bytes);
os::Bool UnmapViewOfFile(const void* view);
os::Bool CloseHandle(os::Handle handle);
void Sleep(os::Dword milliseconds);
os::Dword GetTickCount();
std::FILE* fopen(const char* path, const char* mode);
void* calloc(std::size_t count, std::size_t size);

}  // namespace qel::standin::detail
