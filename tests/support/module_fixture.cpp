// The module's test simulator.
#include "support/module_fixture.h"

#include "config/port_table.h"
#include "ipc/ipc_client.h"
#include "light/cycle.h"
#include "module/linkage.h"
#include "qelsim/flight.h"
#include "qelsim/host.h"

namespace qel::test {

void ModuleFixture::SetUp() {
  StandinFixture::SetUp();
  ResetTickCounter();
  server::ServerOptions options;
  options.server_version = 0x19980005;
  options.sim_version_word = 0xFADE0009;
  server_ = std::make_unique<server::Server>(options);
  sim::AttachHost(ImportTable);
}

void ModuleFixture::TearDown() {
  if (started_) Stop();
  server_.reset();
  ReleasePortTable();
  StandinFixture::TearDown();
}

void ModuleFixture::Start(const char* ini) {
  WritePortFileAndStart(dir_, ini);
  started_ = true;
}

void ModuleFixture::Stop() {
  Linkage.stop();
  started_ = false;
}

void ModuleFixture::Tick(int count) {
  RaiseTicks(count);
}

void ModuleFixture::Fly(double latitude, double longitude, std::uint16_t visibility_raw) {
  PutAircraft(*server_, latitude, longitude, visibility_raw);
}

int Count(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

}  // namespace qel::test
