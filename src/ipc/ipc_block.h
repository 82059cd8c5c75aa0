// The request block's number format, shared by the client and the stand-in server:
// every number is a 32-bit little-endian integer, whatever the host's byte order.
#pragma once

#include <cstdint>

namespace qel::ipc {

inline void Put32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t Get32(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
  return value;
}

}  // namespace qel::ipc
