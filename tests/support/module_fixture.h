// The module in a simulator of its own: a fresh directory, the stand-in server,
// and qelsim's host tables attached to the module's ImportTable.
#pragma once

#include <memory>
#include <string>

#include "server/server.h"
#include "support/module_session.h"
#include "support/standin_fixture.h"
#include "support/temp_dir.h"

namespace qel::test {

class ModuleFixture : public StandinFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the port file (or removes it for nullptr) and calls the start entry.
  void Start(const char* ini);
  void Stop();
  // Raises host event 3 `count` times.
  void Tick(int count);
  // Puts the aircraft at a position, in degrees, with a raw visibility.
  void Fly(double latitude, double longitude, std::uint16_t visibility_raw);
  std::string Log() const { return dir_.ReadModuleFile("Qel.log"); }

  TempSimDir dir_;
  std::unique_ptr<server::Server> server_;
  bool started_ = false;
};

int Count(const std::string& text, const std::string& what);

}  // namespace qel::test
