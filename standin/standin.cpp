// The stand-in's state, virtual clock, per-thread last error and control API, and
// the table that puts its calls behind the seam on Linux.
#include "standin/standin.h"

#include <cctype>

#include "standin/standin_internal.h"

namespace qel::standin {
namespace detail {

State& TheState() {
  static State state;
  return state;
}

std::string Upper(const char* text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

namespace {
thread_local os::Dword last_error = os::kErrorSuccess;
}  // namespace

os::Dword GetLastError() {
  return last_error;
}
void SetLastError(os::Dword error) {
  last_error = error;
}

void Sleep(os::Dword milliseconds) {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  state.now_ms += milliseconds;
}

os::Dword GetTickCount() {
  State& state = TheState();
  std::lock_guard lock(state.mutex);
  return static_cast<os::Dword>(state.now_ms);  // wraps as the real count does
}

}  // namespace detail

void Reset() {
  detail::State& state = detail::TheState();
  std::lock_guard lock(state.mutex);
  detail::ResetUser(state);
  detail::ResetKernel(state);
  state.now_ms = 0;
  state.process_id = kDefaultProcessId;
  detail::SetLastError(os::kErrorSuccess);
}

std::uint64_t NowMs() {
  detail::State& state = detail::TheState();
  std::lock_guard lock(state.mutex);
  return state.now_ms;
}

void AdvanceMs(std::uint64_t milliseconds) {
  detail::State& state = detail::TheState();
  std::lock_guard lock(state.mutex);
  state.now_ms += milliseconds;
}

void SetProcessId(std::uint32_t id) {
  detail::State& state = detail::TheState();
  std::lock_guard lock(state.mutex);
  state.process_id = id;
}

LiveCounts Live() {
  detail::State& state = detail::TheState();
  std::lock_guard lock(state.mutex);
  std::vector<const detail::Mapping*> mappings;
  auto note = [&mappings](const detail::Mapping* mapping) {
    for (const detail::Mapping* seen : mappings) {
      if (seen == mapping) return;
    }
    mappings.push_back(mapping);
  };
  for (const auto& [handle, mapping] : state.handles) note(mapping.get());
  for (const detail::View& view : state.views) note(view.mapping.get());
  return LiveCounts{state.atoms.size(), state.handles.size(), state.views.size(), mappings.size(),
                    state.windows.size()};
}

}  // namespace qel::standin

namespace qel::os {

const OsCalls& PlatformOsCalls() {
  namespace d = standin::detail;
  static const OsCalls table = {
      .FindWindowExA = d::FindWindowExA,
      .RegisterWindowMessageA = d::RegisterWindowMessageA,
      .wsprintfA = d::wsprintfA,
      .GetCurrentProcessId = d::GetCurrentProcessId,
      .GlobalAddAtomA = d::GlobalAddAtomA,
      .GlobalDeleteAtom = d::GlobalDeleteAtom,
      .GlobalGetAtomNameA = d::GlobalGetAtomNameA,
      .CreateFileMappingA = d::CreateFileMappingA,
      .OpenFileMappingA = d::OpenFileMappingA,
      .MapViewOfFile = d::MapViewOfFile,
      .UnmapViewOfFile = d::UnmapViewOfFile,
      .CloseHandle = d::CloseHandle,
      .SendMessageTimeoutA = d::SendMessageTimeoutA,
      .Sleep = d::Sleep,
      .GetLastError = d::GetLastError,
      .SetLastError = d::SetLastError,
      .GetTickCount = d::GetTickCount,
      .CreateWindowA = d::CreateWindowA,
      .DestroyWindow = d::DestroyWindow,
      .fopen = d::fopen,
      .calloc = d::calloc,
  };
  return table;
}

}  // namespace qel::os
