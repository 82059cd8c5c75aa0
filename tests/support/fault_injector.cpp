// The seam's fault wrappers: each counts its call, asks whether this one fails,
// and either passes it on or fails it as Windows would.
#include "support/fault_injector.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "os/os_calls.h"

namespace qel::test {

namespace {

constexpr Failure kRefuseOnly[] = {Failure::kRefuse};
constexpr Failure kActOnly[] = {Failure::kActThenFail};
constexpr Failure kMappingFailures[] = {Failure::kRefuse, Failure::kAlreadyExists};
constexpr Failure kSendFailures[] = {Failure::kRefuse, Failure::kActThenFail};
constexpr Failure kLastErrorFailures[] = {Failure::kStaleError};
constexpr Failure kFileFailures[] = {Failure::kRefuse, Failure::kIoErrors};

struct State {
  os::OsCalls real;
  std::array<std::uint32_t, kOsFunctionCount> calls{};
  std::optional<Fault> armed;
  std::function<std::optional<Failure>(OsFunction)> chance;
  bool paused = false;
  int in_server = 0;  // inside a message the module sent: the server's own calls
  std::uint32_t injected = 0;
  bool quick_time_outs = false;
  // The module's objects: atoms with their reference counts, mapping handles, views.
  std::map<os::Atom, int> atoms;
  std::set<os::Handle> mappings;
  std::set<const void*> views;
  std::vector<std::string> released_unheld;
  std::vector<FaultInjector::HeldAtom> atoms_given;
  std::vector<std::string> mapping_names;
};
State* g_state = nullptr;

// Counts the call and tells how it is to fail, if at all.
std::optional<Failure> Next(OsFunction function) {
  State& s = *g_state;
  if (s.paused || s.in_server > 0) return std::nullopt;
  const std::uint32_t n = ++s.calls[static_cast<std::size_t>(function)];
  std::optional<Failure> failure;
  if (s.armed && s.armed->function == function && n >= s.armed->nth &&
      n - s.armed->nth < s.armed->times) {
    failure = s.armed->failure;
  } else if (s.chance) {
    failure = s.chance(function);
  }
  if (failure) ++s.injected;
  return failure;
}

void SetError(os::Dword error) {
  g_state->real.SetLastError(error);
}

bool Tracked() {
  return g_state->in_server == 0;
}

void ReleasedUnheld(const char* what, const void* object) {
  char text[64];
  std::snprintf(text, sizeof text, "%s %p released but not held", what, object);
  g_state->released_unheld.push_back(text);
}

void MappingOpened(os::Handle handle, const char* name) {
  if (handle == nullptr || !Tracked()) return;
  g_state->mappings.insert(handle);
  g_state->mapping_names.push_back(name != nullptr ? name : "");
}

os::Hwnd FindWindowExA(os::Hwnd parent, os::Hwnd after, const char* class_name, const char* title) {
  if (Next(OsFunction::kFindWindowExA)) {
    SetError(os::kErrorSuccess);
    return nullptr;
  }
  return g_state->real.FindWindowExA(parent, after, class_name, title);
}

os::Uint RegisterWindowMessageA(const char* name) {
  if (Next(OsFunction::kRegisterWindowMessageA)) {
    SetError(os::kErrorNotEnoughMemory);
    return 0;
  }
  return g_state->real.RegisterWindowMessageA(name);
}

int WsprintfA(char* buffer, const char* format, os::Dword first, os::Dword second) {
  if (Next(OsFunction::kWsprintfA)) return 0;  // the buffer is left as the caller had it
  return g_state->real.wsprintfA(buffer, format, first, second);
}

os::Dword GetCurrentProcessId() {
  Next(OsFunction::kGetCurrentProcessId);
  return g_state->real.GetCurrentProcessId();
}

os::Atom GlobalAddAtomA(const char* name) {
  if (Next(OsFunction::kGlobalAddAtomA)) {
    SetError(os::kErrorNotEnoughMemory);
    return 0;
  }
  const os::Atom atom = g_state->real.GlobalAddAtomA(name);
  if (atom != 0 && Tracked()) {
    ++g_state->atoms[atom];
    g_state->atoms_given.push_back({atom, name != nullptr ? name : ""});
  }
  return atom;
}

os::Atom GlobalDeleteAtom(os::Atom atom) {
  const bool fail = Next(OsFunction::kGlobalDeleteAtom).has_value();
  const os::Atom left = g_state->real.GlobalDeleteAtom(atom);
  if (left == 0 && Tracked()) {
    auto held = g_state->atoms.find(atom);
    if (held == g_state->atoms.end()) {
      ReleasedUnheld("atom", reinterpret_cast<const void*>(std::uintptr_t{atom}));
    } else if (--held->second == 0) {
      g_state->atoms.erase(held);
    }
  }
  if (!fail) return left;
  SetError(os::kErrorInvalidHandle);
  return atom;  // Windows' way of saying the atom was not deleted
}

os::Handle CreateFileMappingA(os::Handle file, void* security, os::Dword protect, os::Dword high,
                              os::Dword low, const char* name) {
  const std::optional<Failure> failure = Next(OsFunction::kCreateFileMappingA);
  if (failure == Failure::kRefuse) {
    SetError(os::kErrorNotEnoughMemory);
    return nullptr;
  }
  os::Handle handle = g_state->real.CreateFileMappingA(file, security, protect, high, low, name);
  const os::Dword error = g_state->real.GetLastError();
  MappingOpened(handle, name);
  SetError(error);
  if (failure == Failure::kAlreadyExists && handle != nullptr) SetError(os::kErrorAlreadyExists);
  return handle;
}

os::Handle OpenFileMappingA(os::Dword access, os::Bool inherit, const char* name) {
  os::Handle handle = g_state->real.OpenFileMappingA(access, inherit, name);
  const os::Dword error = g_state->real.GetLastError();
  MappingOpened(handle, name);
  SetError(error);
  return handle;
}

void* MapViewOfFile(os::Handle mapping, os::Dword access, os::Dword high, os::Dword low,
                    std::size_t bytes) {
  if (Next(OsFunction::kMapViewOfFile)) {
    SetError(os::kErrorNotEnoughMemory);
    return nullptr;
  }
  void* view = g_state->real.MapViewOfFile(mapping, access, high, low, bytes);
  if (view != nullptr && Tracked()) g_state->views.insert(view);
  return view;
}

os::Bool UnmapViewOfFile(const void* view) {
  const bool fail = Next(OsFunction::kUnmapViewOfFile).has_value();
  const os::Bool done = g_state->real.UnmapViewOfFile(view);
  if (done != 0 && Tracked() && g_state->views.erase(view) == 0) ReleasedUnheld("view", view);
  if (!fail) return done;
  SetError(os::kErrorInvalidAddress);
  return 0;
}

os::Bool CloseHandle(os::Handle handle) {
  const bool fail = Next(OsFunction::kCloseHandle).has_value();
  const os::Bool done = g_state->real.CloseHandle(handle);
  if (done != 0 && Tracked() && g_state->mappings.erase(handle) == 0) {
    ReleasedUnheld("handle", handle);
  }
  if (!fail) return done;
  SetError(os::kErrorInvalidHandle);
  return 0;
}

os::LResult SendMessageTimeoutA(os::Hwnd window, os::Uint message, os::WParam wparam,
                                os::LParam lparam, os::Uint flags, os::Uint timeout_ms,
                                os::DwordPtr* result) {
  const std::optional<Failure> failure = Next(OsFunction::kSendMessageTimeoutA);
  if (failure == Failure::kRefuse) {
    // A window that never answers: the whole time-out passes.
    if (!g_state->quick_time_outs) g_state->real.Sleep(timeout_ms);
    if (result != nullptr) *result = 0;
    SetError(os::kErrorTimeout);
    return 0;
  }
  ++g_state->in_server;
  const os::LResult sent =
      g_state->real.SendMessageTimeoutA(window, message, wparam, lparam, flags, timeout_ms, result);
  --g_state->in_server;
  if (failure != Failure::kActThenFail) return sent;
  // The server did the work, but too late for the sender.
  if (result != nullptr) *result = 0;
  SetError(os::kErrorSuccess);
  return 0;
}

void Sleep(os::Dword milliseconds) {
  Next(OsFunction::kSleep);
  g_state->real.Sleep(milliseconds);
}

os::Dword GetLastError() {
  if (Next(OsFunction::kGetLastError)) return os::kErrorAlreadyExists;
  return g_state->real.GetLastError();
}

std::FILE* Fopen(const char* path, const char* mode) {
  const std::optional<Failure> failure = Next(OsFunction::kFopen);
  if (failure == Failure::kRefuse) {
    errno = EACCES;
    return nullptr;
  }
  if (failure == Failure::kIoErrors) {
    const bool reading = std::strchr(mode, 'r') != nullptr && std::strchr(mode, '+') == nullptr;
#ifdef _WIN32
    // Windows opens no directory as a stream and has no /dev/full: the null device
    // opened the other way round fails every read, or every write.
    return std::fopen("NUL", reading ? "wb" : "rb");
#else
    // A directory opens for reading and fails every read; /dev/full takes a stream
    // for writing and fails every write.
    return reading ? std::fopen(".", "rb") : std::fopen("/dev/full", "wb");
#endif
  }
  return g_state->real.fopen(path, mode);
}

void* Calloc(std::size_t count, std::size_t size) {
  if (Next(OsFunction::kCalloc)) return nullptr;
  return g_state->real.calloc(count, size);
}

}  // namespace

const char* Name(OsFunction function) {
  constexpr const char* kNames[kOsFunctionCount] = {"FindWindowExA",
                                                    "RegisterWindowMessageA",
                                                    "wsprintfA",
                                                    "GetCurrentProcessId",
                                                    "GlobalAddAtomA",
                                                    "GlobalDeleteAtom",
                                                    "CreateFileMappingA",
                                                    "MapViewOfFile",
                                                    "UnmapViewOfFile",
                                                    "CloseHandle",
                                                    "SendMessageTimeoutA",
                                                    "Sleep",
                                                    "GetLastError",
                                                    "fopen",
                                                    "calloc"};
  return kNames[static_cast<std::size_t>(function)];
}

const char* Name(Failure failure) {
  switch (failure) {
    case Failure::kRefuse:
      return "refuses";
    case Failure::kActThenFail:
      return "acts, then reports failure";
    case Failure::kStaleError:
      return "reports a stale error";
    case Failure::kAlreadyExists:
      return "finds the name taken";
    case Failure::kIoErrors:
      return "opens a stream that fails";
  }
  return "?";
}

std::span<const Failure> FailuresOf(OsFunction function) {
  switch (function) {
    case OsFunction::kFindWindowExA:
    case OsFunction::kRegisterWindowMessageA:
    case OsFunction::kWsprintfA:
    case OsFunction::kGlobalAddAtomA:
    case OsFunction::kMapViewOfFile:
    case OsFunction::kCalloc:
      return kRefuseOnly;
    case OsFunction::kGlobalDeleteAtom:
    case OsFunction::kUnmapViewOfFile:
    case OsFunction::kCloseHandle:
      return kActOnly;
    case OsFunction::kCreateFileMappingA:
      return kMappingFailures;
    case OsFunction::kSendMessageTimeoutA:
      return kSendFailures;
    case OsFunction::kGetLastError:
      return kLastErrorFailures;
    case OsFunction::kFopen:
      return kFileFailures;
    case OsFunction::kGetCurrentProcessId:
    case OsFunction::kSleep:
      return {};
  }
  return {};
}

std::string Fault::Describe() const {
  std::string calls = " call " + std::to_string(nth);
  if (times == kForever) {
    calls += " and every later one";
  } else if (times > 1) {
    calls += " and the " + std::to_string(times - 1) + " after it";
  }
  return std::string(Name(function)) + calls + " " + Name(failure);
}

FaultInjector::FaultInjector() {
  g_state = new State;
  os::OsCalls& os = os::Os();
  g_state->real = os;
  os.FindWindowExA = FindWindowExA;
  os.RegisterWindowMessageA = RegisterWindowMessageA;
  os.wsprintfA = WsprintfA;
  os.GetCurrentProcessId = GetCurrentProcessId;
  os.GlobalAddAtomA = GlobalAddAtomA;
  os.GlobalDeleteAtom = GlobalDeleteAtom;
  os.CreateFileMappingA = CreateFileMappingA;
  os.OpenFileMappingA = OpenFileMappingA;
  os.MapViewOfFile = MapViewOfFile;
  os.UnmapViewOfFile = UnmapViewOfFile;
  os.CloseHandle = CloseHandle;
  os.SendMessageTimeoutA = SendMessageTimeoutA;
  os.Sleep = Sleep;
  os.GetLastError = GetLastError;
  os.fopen = Fopen;
  os.calloc = Calloc;
}

FaultInjector::~FaultInjector() {
  os::Os() = g_state->real;
  delete g_state;
  g_state = nullptr;
}

void FaultInjector::Arm(const Fault& fault) {
  g_state->armed = fault;
}
void FaultInjector::Disarm() {
  g_state->armed.reset();
}
void FaultInjector::Pause(bool paused) {
  g_state->paused = paused;
}
void FaultInjector::SetChance(std::function<std::optional<Failure>(OsFunction)> chance) {
  g_state->chance = std::move(chance);
}
std::uint32_t FaultInjector::Calls(OsFunction function) const {
  return g_state->calls[static_cast<std::size_t>(function)];
}
void FaultInjector::SetQuickTimeOuts(bool quick) {
  g_state->quick_time_outs = quick;
}
void FaultInjector::ResetCounts() {
  State& s = *g_state;
  s.calls.fill(0);
  s.injected = 0;
  s.atoms.clear();
  s.mappings.clear();
  s.views.clear();
  s.released_unheld.clear();
  s.atoms_given.clear();
  s.mapping_names.clear();
}
std::uint32_t FaultInjector::injected() const {
  return g_state->injected;
}

std::string FaultInjector::Live() const {
  const State& s = *g_state;
  std::size_t atoms = 0;
  for (const auto& [atom, references] : s.atoms) atoms += static_cast<std::size_t>(references);
  std::string text;
  auto note = [&text](std::size_t count, const char* what) {
    if (count != 0) text += std::to_string(count) + " " + what + " ";
  };
  note(atoms, "atoms");
  note(s.mappings.size(), "mappings");
  note(s.views.size(), "views");
  for (const std::string& unheld : s.released_unheld) text += unheld + " ";
  return text;
}

const std::vector<FaultInjector::HeldAtom>& FaultInjector::AtomsGiven() const {
  return g_state->atoms_given;
}

void FaultInjector::ForgetConfirmedGone() {
  g_state->atoms_given.clear();
  g_state->mapping_names.clear();
}

const std::vector<std::string>& FaultInjector::MappingNames() const {
  return g_state->mapping_names;
}

}  // namespace qel::test
