// One whole module session that a test can repeat many times: a fresh simulator
// directory, a fresh stand-in and server, qelsim's host tables, and the checks
// that every session must pass however its calls failed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/server.h"
#include "support/temp_dir.h"

namespace qel::test {

class FaultInjector;

class ModuleRun {
 public:
  // Leaves the seam table as it is, so that a test's wrappers stay in place.
  explicit ModuleRun(server::ServerOptions options = {});
  ~ModuleRun();
  ModuleRun(const ModuleRun&) = delete;
  ModuleRun& operator=(const ModuleRun&) = delete;

  // Writes the port file (or removes it for nullptr) and calls the start entry.
  void Start(const char* ini);
  void Stop();
  void Tick(int count);
  void Fly(double latitude, double longitude, std::uint16_t visibility_raw);
  // Sets the server's light word; the bits other than bit 15 are the ones the
  // module must write back as it read them.
  void SetLightWord(std::uint16_t word);

  server::Server& server() { return *server_; }
  const TempSimDir& dir() const { return dir_; }
  // The log as it lies on disk; empty when it is missing or no file.
  std::string Log() const;

  // Light-word writes the server carried out since the start, and the first one
  // whose low 15 bits were not those of the word the server held.
  int light_writes() const { return light_writes_; }
  const std::string& light_violation() const { return light_violation_; }

  // Runs after the light-word watch on every request the server carried out.
  void SetTamper(std::function<void(std::uint8_t* block, std::size_t size)> tamper) {
    tamper_ = std::move(tamper);
  }

 private:
  void Watch(std::uint8_t* block);

  TempSimDir dir_;
  std::unique_ptr<server::Server> server_;
  std::function<void(std::uint8_t*, std::size_t)> tamper_;
  bool started_ = false;
  std::uint16_t held_ = 0;  // the server's light word as the last request left it
  int light_writes_ = 0;
  std::string light_violation_;
};

// The module's atoms, handles, views and mappings that the platform itself finds
// alive, as one text ("" when none): on Linux the stand-in's counts; on Windows
// the link's fields and, given an injector, the atoms and mapping names it saw
// the module use, asked of Windows. Defined once per platform.
std::string LiveObjects(const FaultInjector* injector = nullptr);
// A clean platform for a new run: the stand-in reset; nothing on Windows.
void ResetPlatformForRun();

// "" when every line of the log is complete, ends with CR LF, and is one of the
// lines the module writes; otherwise what is wrong, with the line.
std::string LogProblems(const std::string& log);

}  // namespace qel::test
