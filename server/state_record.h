// The packed simulator-state record that travels in kWmCopyData from a host
// program to the server, little-endian whatever either side's build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/server.h"

namespace qel::server::detail {

// hour, minute, second, flags; visibility, light word; latitude; longitude.
constexpr std::size_t kStateRecordSize = 24;
constexpr std::uint8_t kHasLightWord = 0x01;
// Set in a light-word answer, so that a window that does not know the query
// (and answers 0) is not taken for a word of 0.
constexpr std::uint32_t kLightWordAnswered = 0x10000;

inline void PutLe(std::uint8_t* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint64_t GetLe(const std::uint8_t* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  return value;
}

inline void EncodeState(const SimState& state, std::uint8_t* record) {
  record[0] = state.hour;
  record[1] = state.minute;
  record[2] = state.second;
  record[3] = state.light_word ? kHasLightWord : 0;
  PutLe(record + 4, state.visibility_raw, 2);
  PutLe(record + 6, state.light_word.value_or(0), 2);
  PutLe(record + 8, static_cast<std::uint64_t>(state.latitude_raw), 8);
  PutLe(record + 16, static_cast<std::uint64_t>(state.longitude_raw), 8);
}

inline SimState DecodeState(const std::uint8_t* record) {
  SimState state;
  state.hour = record[0];
  state.minute = record[1];
  state.second = record[2];
  state.visibility_raw = static_cast<std::uint16_t>(GetLe(record + 4, 2));
  if (record[3] & kHasLightWord)
    state.light_word = static_cast<std::uint16_t>(GetLe(record + 6, 2));
  state.latitude_raw = static_cast<std::int64_t>(GetLe(record + 8, 8));
  state.longitude_raw = static_cast<std::int64_t>(GetLe(record + 16, 8));
  return state;
}

}  // namespace qel::server::detail
