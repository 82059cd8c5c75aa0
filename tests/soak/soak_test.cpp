// The soak: 100,000 active cycles in virtual time, with random faults on every
// seam call and a server that answers at random, ignores, hangs, zeroes its
// versions and scrambles the records of its replies. Nothing may pile up: no
// live atom, handle, view or mapping after any cycle, no open file, and a heap
// no larger at the end than after the warm-up.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>

#include "config/port_table.h"
#include "ipc/ipc_block.h"
#include "ipc/ipc_client.h"
#include "os/os_calls.h"
#include "standin/standin.h"
#include "support/fault_injector.h"
#include "support/module_run.h"

#if defined(__SANITIZE_ADDRESS__)
#define QEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_ASAN 1
#endif
#endif
#if defined(QEL_ASAN)
// From the sanitizer runtime (sanitizer/allocator_interface.h, which GCC does not install).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace qel {
namespace {

using test::Failure;
using test::FaultInjector;
using test::ModuleRun;
using test::OsFunction;

constexpr const char* kPorts =
    "55.972641;37.414581;5.0;30.0;UUEE\r\n"
    "55.408611;37.906111;4.0;25.0;UUDD\r\n"
    "56.0;37.0;8.0;60.0;WIDE\r\n"
    "51.470020;-0.454295;5.0;30.0;EGLL\r\n";

std::uint64_t FromEnvironment(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

std::size_t HeapInUse() {
#if defined(QEL_ASAN)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

std::size_t OpenFiles() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// Rewrites the header of one record of the reply as the client left it: its type
// (unknown, end, the other kind) or its size (zero, one more, huge). Data areas
// stay as the server filled them, so that any value the client takes is one the
// server really gave.
void Scramble(std::uint8_t* block, std::mt19937_64& random) {
  std::uint32_t records[64];
  std::size_t count = 0;
  for (std::uint64_t at = 0; at + 12 <= ipc::kUsableSize && count < 64;) {
    const std::uint32_t type = ipc::Get32(block + at);
    if (type != ipc::kRecordRead && type != ipc::kRecordWrite) break;
    records[count++] = static_cast<std::uint32_t>(at);
    at += (type == ipc::kRecordRead ? ipc::kReadHeader : ipc::kWriteHeader) +
          std::uint64_t{ipc::Get32(block + at + 8)};
  }
  if (count == 0) return;
  std::uint8_t* record = block + records[random() % count];
  switch (random() % 6) {
    case 0:
      ipc::Put32(record, 3 + static_cast<std::uint32_t>(random() % 1000));
      break;
    case 1:
      ipc::Put32(record, ipc::kRecordEnd);
      break;
    case 2:
      ipc::Put32(record,
                 ipc::Get32(record) == ipc::kRecordRead ? ipc::kRecordWrite : ipc::kRecordRead);
      break;
    case 3:
      ipc::Put32(record + 8, 0);
      break;
    case 4:
      ipc::Put32(record + 8, ipc::Get32(record + 8) + 1);
      break;
    default:
      ipc::Put32(record + 8, static_cast<std::uint32_t>(random()));
      break;
  }
}

TEST(Soak, ActiveCyclesLeaveNothingBehind) {
  const std::uint64_t target = FromEnvironment("QEL_SOAK_CYCLES", 100000);
  const std::uint64_t seed = FromEnvironment("QEL_SOAK_SEED", 6);
  std::mt19937_64 random(seed);
  auto chance = [&random](std::uint32_t one_in) { return random() % one_in == 0; };

  os::Os() = os::DefaultOsCalls();
  FaultInjector injector;
  injector.Pause(true);
  std::uint64_t scrambled = 0;
  ModuleRun run;
  run.SetTamper([&](std::uint8_t* block, std::size_t) {
    if (chance(40)) {
      Scramble(block, random);
      ++scrambled;
    }
  });
  injector.SetChance([&](OsFunction function) -> std::optional<Failure> {
    const auto failures = test::FailuresOf(function);
    if (failures.empty() || !chance(300)) return std::nullopt;
    return failures[random() % failures.size()];
  });

  const std::size_t files_before = OpenFiles();
  std::size_t heap_after_warmup = 0;
  std::uint64_t active = 0, starts = 0, log_lines = 0;
  auto start = [&] {
    // Starts are faulted too; a start that leaves no ports is followed by one without faults.
    injector.Pause(false);
    run.Start(kPorts);
    if (ThePortTable().count == 0) {
      injector.Pause(true);
      run.Stop();
      run.Start(kPorts);
      injector.Pause(false);
    }
    ++starts;
  };
  start();
  while (active < target) {
    // The server's mood for this cycle.
    server::ServerOptions& options = run.server().options();
    options.answer = chance(50) ? static_cast<os::LResult>(random() % 3) : 1;
    options.zero_versions_for =
        chance(50) ? run.server().handshakes() + static_cast<std::uint32_t>(random() % 6) : 0;
    const std::uint32_t requests = run.server().requests();
    const bool hang = chance(50);
    options.ignore_from = hang ? requests + 1 + static_cast<std::uint32_t>(random() % 8) : 0;
    options.ignore_to = hang ? options.ignore_from + static_cast<std::uint32_t>(random() % 10) : 0;
    if (chance(10)) run.SetLightWord(static_cast<std::uint16_t>(random()));
    // Half the time among the Moscow ports, else anywhere.
    auto uniform = [&random](double from, double to) {
      return from + (to - from) * static_cast<double>(random() % 100000) / 100000.0;
    };
    const bool near = chance(2);
    run.Fly(near ? uniform(55.3, 56.3) : uniform(-60, 60),
            near ? uniform(37.0, 38.0) : uniform(-180, 180),
            static_cast<std::uint16_t>(random() % 1200));

    run.Tick(16);
    ++active;
    const std::string live = test::LiveObjects();
    ASSERT_EQ(live, "") << "after active cycle " << active;
    injector.ForgetConfirmedGone();
    ASSERT_EQ(run.light_violation(), "") << "in active cycle " << active;

    if (active % 1000 == 0) {
      const std::string log = run.Log();
      ASSERT_EQ(test::LogProblems(log), "") << "before active cycle " << active;
      for (char c : log) log_lines += c == '\n';
      std::filesystem::remove(std::filesystem::path(run.dir().path()) / "modules/Qel.log");
    }
    if (active % 25000 == 0 && active < target) {
      injector.Pause(true);
      run.Stop();
      ASSERT_EQ(test::LiveObjects(), "");
      start();
    }
    if (active == 1000) heap_after_warmup = HeapInUse();
  }
  injector.Pause(true);
  run.Stop();
  ASSERT_EQ(test::LogProblems(run.Log()), "");
  const std::size_t heap_at_end = HeapInUse();
  const std::size_t files_at_end = OpenFiles();

  EXPECT_EQ(files_at_end, files_before) << "files left open";
  if (target >= 2000) {
    EXPECT_LE(heap_at_end, heap_after_warmup + 16 * 1024)
        << "heap after warm-up " << heap_after_warmup << ", at the end " << heap_at_end;
  }
  std::cout << "soak: " << active << " active cycles in " << starts << " sessions, "
            << run.server().requests() << " requests to the server (" << scrambled
            << " replies scrambled), " << injector.injected() << " faults injected, "
            << run.light_writes() << " light-word writes, " << log_lines << " log lines, "
            << standin::NowMs() / 1000 << " s of virtual time; heap " << heap_after_warmup
            << " B after 1000 cycles, " << heap_at_end << " B at the end\n";
  RecordProperty("active_cycles", static_cast<int>(active));
  RecordProperty("faults_injected", static_cast<int>(injector.injected()));
}

}  // namespace
}  // namespace qel
