// Countdown faults on the seam: every call the module makes through `Os()` is
// counted per function, and the n-th (once, or from then on) fails the way
// Windows reports that failure. Calls the in-process server makes while it
// answers a message are the far side's, and pass untouched.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qel::test {

enum class OsFunction {
  kFindWindowExA,
  kRegisterWindowMessageA,
  kWsprintfA,
  kGetCurrentProcessId,
  kGlobalAddAtomA,
  kGlobalDeleteAtom,
  kCreateFileMappingA,
  kMapViewOfFile,
  kUnmapViewOfFile,
  kCloseHandle,
  kSendMessageTimeoutA,
  kSleep,
  kGetLastError,
  kFopen,
  kCalloc,
};
constexpr std::size_t kOsFunctionCount = 15;

enum class Failure {
  // The call does nothing and returns what Windows returns on failure (null, 0,
  // no window), with a matching last error.
  kRefuse,
  // The call does its work, then reports failure: a release that says it did not
  // release, a message carried out after the sender gave up.
  kActThenFail,
  // GetLastError reports ERROR_ALREADY_EXISTS where there is none.
  kStaleError,
  // CreateFileMappingA hands over a mapping under a name someone already holds.
  kAlreadyExists,
  // fopen gives a stream on which every read or write fails.
  kIoErrors,
};

const char* Name(OsFunction function);
const char* Name(Failure failure);
// The failures each function can show; empty for calls that cannot fail
// (GetCurrentProcessId, Sleep).
std::span<const Failure> FailuresOf(OsFunction function);

struct Fault {
  static constexpr std::uint32_t kForever = UINT32_MAX;
  OsFunction function;
  Failure failure;
  std::uint32_t nth;        // counting from 1
  std::uint32_t times = 1;  // calls that fail from the n-th on; kForever for all
  std::string Describe() const;
};

// Installs counting wrappers over the live seam table for its lifetime; one at a time.
class FaultInjector {
 public:
  FaultInjector();
  ~FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  void Arm(const Fault& fault);
  void Disarm();
  // While paused, calls are neither counted nor failed.
  void Pause(bool paused);
  // Asked on every counted call that no armed fault takes; a failure it names is injected.
  void SetChance(std::function<std::optional<Failure>(OsFunction)> chance);

  // Time-outs reported at once instead of after the sender's whole wait: with the
  // real calls that wait is real time.
  void SetQuickTimeOuts(bool quick);

  std::uint32_t Calls(OsFunction function) const;
  // Clears the call counts and the record of the module's objects below.
  void ResetCounts();
  std::uint32_t injected() const;

  // The module's own atoms, mappings and views, counted from the calls that passed
  // through (paused or not; never the server's): "" when none is alive, else what
  // is, and any release of an object the module did not hold.
  std::string Live() const;
  struct HeldAtom {
    std::uint16_t atom;
    std::string name;
  };
  // Every atom the module was given and every mapping name it created, for the
  // platform to confirm that they are gone.
  const std::vector<HeldAtom>& AtomsGiven() const;
  // Drops that record once its objects are confirmed gone, so that a long run
  // does not grow it without end.
  void ForgetConfirmedGone();
  const std::vector<std::string>& MappingNames() const;
};

}  // namespace qel::test
