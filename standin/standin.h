// The Linux stand-in for the Windows calls behind the seam: its control surface
// for tests and qelsim (reset, virtual clock, process id, live-object counts).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::standin {

// The process id that GetCurrentProcessId reports until SetProcessId changes it.
constexpr std::uint32_t kDefaultProcessId = 0x1F4C;

// Forgets every window, registered message, atom, mapping, view and handle, sets
// the clock to 0 and the process id back to its default. Window procs are not
// called: their owners find their windows gone.
void Reset();

// The virtual clock in milliseconds. Sleep and send time-outs advance it; nothing waits.
std::uint64_t NowMs();
void AdvanceMs(std::uint64_t milliseconds);

void SetProcessId(std::uint32_t id);

// What is alive right now, so that tests can prove nothing leaks. A mapping lives
// while any handle or view of it does.
struct LiveCounts {
  std::size_t atoms;
  std::size_t handles;
  std::size_t views;
  std::size_t mappings;
  std::size_t windows;
};
LiveCounts Live();

}  // namespace qel::standin
