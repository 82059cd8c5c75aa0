// The module session's platform side on Linux: the stand-in, reset per run and
// counting every object it holds.
#include "standin/standin.h"
#include "support/module_run.h"

namespace qel::test {

void ResetPlatformForRun() {
  standin::Reset();
}

std::string LiveObjects(const FaultInjector*) {
  const standin::LiveCounts live = standin::Live();
  std::string text;
  auto note = [&text](std::size_t count, const char* what) {
    if (count != 0) text += std::to_string(count) + " " + what + " ";
  };
  note(live.atoms, "atoms");
  note(live.handles, "handles");
  note(live.views, "views");
  note(live.mappings, "mappings");
  return text;
}

}  // namespace qel::test
