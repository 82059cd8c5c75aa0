// The pieces of a module session that every test harness shares: the port file
// written (or removed for nullptr) before the start entry, ticks raised through
// the host, and the server's aircraft put at a position in degrees.
#pragma once

#include <cstdint>

#include "server/server.h"
#include "support/temp_dir.h"

namespace qel::test {

void WritePortFileAndStart(const TempSimDir& dir, const char* ini);
void RaiseTicks(int count);
void PutAircraft(server::Server& server, double latitude, double longitude,
                 std::uint16_t visibility_raw);

}  // namespace qel::test
