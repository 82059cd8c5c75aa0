// Heap allocations during an active cycle, counted by a malloc of this program's
// own across the handler's sixteenth call alone. Each is put down to the module's
// own code, to the C runtime's stdio (fopen's FILE and the stream's buffer), or to
// the stand-in's kernel objects and the server, which stand for Windows and for
// another process.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "light/cycle.h"
#include "module/linkage.h"
#include "os/os_calls.h"
#include "support/world.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace qel::bench {
namespace {

enum class Owner { kModule, kStdio, kStandin };

constexpr int kMaxNoted = 4096;
struct Noted {
  void* caller;
  std::size_t size;
  Owner owner;
};

bool g_counting = false;
int g_seam_depth = 0;   // inside a seam call other than fopen
int g_fopen_depth = 0;  // inside the seam's fopen
Noted g_noted[kMaxNoted];
int g_noted_count = 0;
int g_lost = 0;  // beyond kMaxNoted

void Note(void* caller, std::size_t size) {
  if (!g_counting) return;
  if (g_noted_count == kMaxNoted) {
    ++g_lost;
    return;
  }
  Owner owner = g_fopen_depth > 0  ? Owner::kStdio
                : g_seam_depth > 0 ? Owner::kStandin
                                   : Owner::kModule;
  g_noted[g_noted_count++] = Noted{caller, size, owner};
}

// Every seam entry wrapped, so that what it allocates is known to be behind the seam.
template <auto Entry, bool kStdio, typename Fn>
struct SeamGuard;
template <auto Entry, bool kStdio, typename R, typename... A>
struct SeamGuard<Entry, kStdio, R (*)(A...)> {
  static inline R (*original)(A...) = nullptr;
  static R Call(A... args) {
    struct Depth {
      int* depth;
      explicit Depth(int* d) : depth(d) { ++*depth; }
      ~Depth() { --*depth; }
    } inside(kStdio ? &g_fopen_depth : &g_seam_depth);
    return original(args...);
  }
};

template <auto Entry, bool kStdio = false>
void Guard() {
  using Fn = std::remove_reference_t<decltype(os::Os().*Entry)>;
  using G = SeamGuard<Entry, kStdio, Fn>;
  G::original = os::Os().*Entry;
  os::Os().*Entry = &G::Call;
}

// calloc stays unwrapped: the module's own allocations go through it.
void GuardSeam() {
  using os::OsCalls;
  Guard<&OsCalls::FindWindowExA>();
  Guard<&OsCalls::RegisterWindowMessageA>();
  Guard<&OsCalls::wsprintfA>();
  Guard<&OsCalls::GetCurrentProcessId>();
  Guard<&OsCalls::GlobalAddAtomA>();
  Guard<&OsCalls::GlobalDeleteAtom>();
  Guard<&OsCalls::GlobalGetAtomNameA>();
  Guard<&OsCalls::CreateFileMappingA>();
  Guard<&OsCalls::OpenFileMappingA>();
  Guard<&OsCalls::MapViewOfFile>();
  Guard<&OsCalls::UnmapViewOfFile>();
  Guard<&OsCalls::CloseHandle>();
  Guard<&OsCalls::SendMessageTimeoutA>();
  Guard<&OsCalls::Sleep>();
  Guard<&OsCalls::GetLastError>();
  Guard<&OsCalls::SetLastError>();
  Guard<&OsCalls::GetTickCount>();
  Guard<&OsCalls::CreateWindowA>();
  Guard<&OsCalls::DestroyWindow>();
  Guard<&OsCalls::fopen, true>();
}

// An allocation the module's code reached straight into the C library (not through
// operator new) for a stream it writes: stdio's lazily made buffer.
bool CalledFromLibc(void* caller) {
  Dl_info info;
  return ::dladdr(caller, &info) != 0 && info.dli_fname != nullptr &&
         std::strstr(info.dli_fname, "libc.so") != nullptr;
}

std::string Where(void* caller) {
  Dl_info info;
  if (::dladdr(caller, &info) != 0 && info.dli_sname != nullptr) return info.dli_sname;
  char text[32];
  std::snprintf(text, sizeof text, "%p", caller);
  return text;
}

void BM_CycleAllocations(benchmark::State& state) {
  const int ports = static_cast<int>(state.range(0));
  const int in_range = static_cast<int>(state.range(1));
  SimFolder folder;
  Simulator simulator;
  InstallPortTable(MakePorts(ports, in_range, Layout::kScattered));
  GuardSeam();
  HostEventHandler handler = &TickHandler;
  benchmark::DoNotOptimize(handler);

  std::int64_t module = 0, module_bytes = 0, stdio = 0, standin = 0;
  std::string sites;
  for (auto _ : state) {
    for (int call = 0; call < kTickDivisor; ++call) handler(call, 0, 0, 0);
    g_noted_count = 0;
    g_counting = true;
    handler(kTickDivisor, 0, 0, 0);
    g_counting = false;
    for (int i = 0; i < g_noted_count; ++i) {
      Noted& noted = g_noted[i];
      if (noted.owner == Owner::kModule && CalledFromLibc(noted.caller))
        noted.owner = Owner::kStdio;
      switch (noted.owner) {
        case Owner::kModule:
          ++module;
          module_bytes += static_cast<std::int64_t>(noted.size);
          if (sites.find(Where(noted.caller)) == std::string::npos)
            sites += Where(noted.caller) + " ";
          break;
        case Owner::kStdio:
          ++stdio;
          break;
        case Owner::kStandin:
          ++standin;
          break;
      }
    }
    if (state.iterations() % 4096 == 0) ::truncate("modules/Qel.log", 0);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["module"] = static_cast<double>(module) / n;
  state.counters["module_bytes"] = static_cast<double>(module_bytes) / n;
  state.counters["stdio"] = static_cast<double>(stdio) / n;
  state.counters["standin_server"] = static_cast<double>(standin) / n;
  state.counters["uncounted"] = g_lost;
  if (!sites.empty()) state.SetLabel("module sites: " + sites);
  os::Os() = os::DefaultOsCalls();
}

BENCHMARK(BM_CycleAllocations)->Args({10000, 0})->Args({10000, 10})->Args({1000000, 10});

}  // namespace
}  // namespace qel::bench

// The counting allocator: glibc's own underneath.
extern "C" {

void* malloc(std::size_t size) {
  qel::bench::Note(__builtin_return_address(0), size);
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
  qel::bench::Note(__builtin_return_address(0), count * size);
  return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) {
  qel::bench::Note(__builtin_return_address(0), size);
  return __libc_realloc(block, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  qel::bench::Note(__builtin_return_address(0), size);
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  qel::bench::Note(__builtin_return_address(0), size);
  *block = __libc_memalign(alignment, size);
  return *block != nullptr ? 0 : 12;  // ENOMEM
}

}  // extern "C"
