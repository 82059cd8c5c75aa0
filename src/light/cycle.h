// The light control cycle: on every sixteenth host tick, read the simulator's
// clock, visibility and position and set or clear the light bit for every port
// in range.
#pragma once

#include <cstdint>

#include "common/host_abi.h"

namespace qel {

constexpr std::int32_t kTickDivisor = 15;
constexpr std::uint16_t kLightBit = 0x8000;

void QEL_HOSTAPI TickHandler(HostWord, HostWord, HostWord, HostWord);

// Tests only: the call counter back to 0, as after loading.
void ResetTickCounter();

}  // namespace qel
