// Starting the module, ticking it and placing the aircraft, as every harness does.
#include "support/module_session.h"

#include "light/cycle.h"
#include "module/linkage.h"
#include "qelsim/flight.h"
#include "qelsim/host.h"

namespace qel::test {

void WritePortFileAndStart(const TempSimDir& dir, const char* ini) {
  if (ini == nullptr) {
    dir.RemoveModuleFile("Qel.ini");
  } else {
    dir.WriteModuleFile("Qel.ini", ini);
  }
  Linkage.start();
}

void RaiseTicks(int count) {
  for (int i = 0; i < count; ++i) sim::RaiseHostEvent(kEventTick);
}

void PutAircraft(server::Server& server, double latitude, double longitude,
                 std::uint16_t visibility_raw) {
  server::SimState state;
  state.hour = 12;
  state.visibility_raw = visibility_raw;
  state.latitude_raw = sim::LatitudeRaw(latitude);
  state.longitude_raw = sim::LongitudeRaw(longitude);
  server.SetState(state);
}

}  // namespace qel::test
