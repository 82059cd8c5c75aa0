// The live call table, filled once from the platform's defaults.
#include "os/os_calls.h"

namespace qel::os {

const OsCalls& DefaultOsCalls() {
  return PlatformOsCalls();
}

OsCalls& Os() {
  static OsCalls table = PlatformOsCalls();
  return table;
}

}  // namespace qel::os
