// The stand-in's kernel side: the process id, global atoms with reference counts,
// named file mappings, their views and handles, and the C runtime entries.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "standin/standin_internal.h"

namespace qel::standin::detail {

namespace {

constexpr os::Atom kFirstStringAtom = 0xC000;
constexpr std::uint32_t kStringAtomCount = 0x4000;  // 0xC000..0xFFFF
constexpr std::size_t kAtomNameMax = 255;
constexpr std::uintptr_t kFirstHandle = 0x100;
constexpr std::uintptr_t kHandleStep = 4;

os::Handle NewHandle(State& state, std::shared_ptr<Mapping> mapping) {
  const auto handle =
      reinterpret_cast<os::Handle>(kFirstHandle + kHandleStep * state.next_handle++);
  state.handles.emplace(handle, std::move(mapping));
  return handle;
}

std::shared_ptr<Mapping> LiveMapping(State& state, const std::string& name) {
  auto found = state.named_mappings.find(name);
  if (found == state.named_mappings.end()) return nullptr;
  std::shared_ptr<Mapping> mapping = found->second.lock();
  if (!mapping) state.named_mappings.erase(found);  // its last handle and view are gone
  return mapping;
}

}  // namespace

void ResetKernel(State& state) {
  state.views.clear();
  state.handles.clear();
  state.named_mappings.clear();
  state.atoms.clear();
  state.next_atom = 0;
}

os::Dword GetCurrentProcessId() {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  return state.process_id;
}

os::Atom GlobalAddAtomA(const char* name) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (name == nullptr || *name == '\0' || std::strlen(name) > kAtomNameMax) {
    SetLastError(os::kErrorInvalidParameter);
    return 0;
  }
  const std::string key = Upper(name);
  for (auto& [atom, entry] : state.atoms) {
    if (Upper(entry.name.c_str()) == key) {
      ++entry.references;
      return atom;
    }
  }
  for (std::uint32_t tried = 0; tried < kStringAtomCount; ++tried) {
    const auto atom = static_cast<os::Atom>(kFirstStringAtom + state.next_atom);
    state.next_atom = static_cast<os::Atom>((state.next_atom + 1) % kStringAtomCount);
    if (state.atoms.find(atom) == state.atoms.end()) {
      state.atoms.emplace(atom, AtomEntry{name, 1});
      return atom;
    }
  }
  SetLastError(os::kErrorNotEnoughMemory);
  return 0;
}

os::Atom GlobalDeleteAtom(os::Atom atom) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (atom < kFirstStringAtom) return 0;  // an integer atom holds nothing to delete
  auto found = state.atoms.find(atom);
  if (found == state.atoms.end()) {
    SetLastError(os::kErrorInvalidHandle);
    return atom;  // Windows reports failure by giving the atom back
  }
  if (--found->second.references == 0) state.atoms.erase(found);
  return 0;
}

os::Uint GlobalGetAtomNameA(os::Atom atom, char* buffer, int size) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (buffer == nullptr || size <= 0) {
    SetLastError(os::kErrorInvalidParameter);
    return 0;
  }
  auto found = state.atoms.find(atom);
  if (found == state.atoms.end()) {
    SetLastError(os::kErrorInvalidHandle);
    return 0;
  }
  const std::size_t copied =
      std::min(found->second.name.size(), static_cast<std::size_t>(size) - 1);
  std::memcpy(buffer, found->second.name.data(), copied);
  buffer[copied] = '\0';
  return static_cast<os::Uint>(copied);
}

os::Handle CreateFileMappingA(os::Handle file, void* /*security*/, os::Dword /*protect*/,
                              os::Dword size_high, os::Dword size_low, const char* name) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  // Only mappings backed by the paging file exist here, so they need a size.
  if (file != os::kInvalidHandleValue) {
    SetLastError(os::kErrorInvalidHandle);
    return nullptr;
  }
  if (size_high != 0 || size_low == 0) {
    SetLastError(os::kErrorInvalidParameter);
    return nullptr;
  }
  const bool named = name != nullptr && *name != '\0';
  if (named) {
    if (std::shared_ptr<Mapping> existing = LiveMapping(state, name)) {
      os::Handle handle = NewHandle(state, std::move(existing));
      SetLastError(os::kErrorAlreadyExists);
      return handle;
    }
  }
  auto mapping = std::make_shared<Mapping>();
  mapping->name = named ? name : "";
  mapping->size = size_low;
  mapping->bytes = std::make_unique<std::uint8_t[]>(size_low);  // zero-filled, as Windows gives it
  if (named) {
    // A name lives as long as its mapping, as on Windows; without this sweep every
    // name ever used would stay, and a process that makes one per cycle would grow.
    std::erase_if(state.named_mappings, [](const auto& entry) { return entry.second.expired(); });
    state.named_mappings[name] = mapping;
  }
  os::Handle handle = NewHandle(state, std::move(mapping));
  SetLastError(os::kErrorSuccess);
  return handle;
}

os::Handle OpenFileMappingA(os::Dword /*access*/, os::Bool /*inherit*/, const char* name) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (name == nullptr || *name == '\0') {
    SetLastError(os::kErrorInvalidParameter);
    return nullptr;
  }
  std::shared_ptr<Mapping> mapping = LiveMapping(state, name);
  if (!mapping) {
    SetLastError(os::kErrorFileNotFound);
    return nullptr;
  }
  return NewHandle(state, std::move(mapping));
}

void* MapViewOfFile(os::Handle handle, os::Dword /*access*/, os::Dword offset_high,
                    os::Dword offset_low, std::size_t bytes) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  auto found = state.handles.find(handle);
  if (found == state.handles.end()) {
    SetLastError(os::kErrorInvalidHandle);
    return nullptr;
  }
  // Views start at the mapping's first byte: the allocation granularity leaves no
  // other offset for mappings as small as ours.
  if (offset_high != 0 || offset_low != 0) {
    SetLastError(os::kErrorInvalidParameter);
    return nullptr;
  }
  const std::shared_ptr<Mapping>& mapping = found->second;
  if (bytes > mapping->size) {
    SetLastError(os::kErrorNotEnoughMemory);
    return nullptr;
  }
  // Every view of one mapping shares its bytes, as views in two processes do.
  state.views.push_back(View{mapping->bytes.get(), mapping});
  return mapping->bytes.get();
}

os::Bool UnmapViewOfFile(const void* view) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  auto found = std::find_if(state.views.begin(), state.views.end(),
                            [view](const View& each) { return each.base == view; });
  if (found == state.views.end()) {
    SetLastError(os::kErrorInvalidAddress);
    return 0;
  }
  state.views.erase(found);
  return 1;
}

os::Bool CloseHandle(os::Handle handle) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  if (state.handles.erase(handle) == 0) {
    SetLastError(os::kErrorInvalidHandle);
    return 0;
  }
  return 1;
}

std::FILE* fopen(const char* path, const char* mode) {
  // The module names its files the Windows way, relative to the current directory.
  std::string native(path != nullptr ? path : "");
  std::replace(native.begin(), native.end(), '\\', '/');
  return std::fopen(native.c_str(), mode);
}

void* calloc(std::size_t count, std::size_t size) {
  return std::calloc(count, size);
}

}  // namespace qel::standin::detail
