// The module session's platform side on Windows: no stand-in to count in, so
// Windows itself is asked whether the atoms and mapping names the module used
// are gone. The questions go to the real calls, past any test wrapper that
// would count them as the module's.
#include "ipc/ipc_client.h"
#include "os/os_calls.h"
#include "support/fault_injector.h"
#include "support/module_run.h"

namespace qel::test {

void ResetPlatformForRun() {}

std::string LiveObjects(const FaultInjector* injector) {
  const os::OsCalls& windows = os::DefaultOsCalls();
  std::string text;
  const IpcLink& link = IpcLinkState();
  if (link.atom != 0) text += "the link's atom ";
  if (link.mapping != nullptr) text += "the link's mapping ";
  if (link.view != nullptr) text += "the link's view ";
  if (injector == nullptr) return text;
  for (const FaultInjector::HeldAtom& given : injector->AtomsGiven()) {
    char name[ipc::kMappingNameMax] = {};
    const os::Uint length = windows.GlobalGetAtomNameA(given.atom, name, sizeof name);
    // The number may have gone to another name since; only ours under it counts.
    if (length != 0 && given.name == name) text += "atom \"" + given.name + "\" ";
  }
  for (const std::string& name : injector->MappingNames()) {
    if (name.empty()) continue;  // an unnamed mapping cannot be asked for
    os::Handle mapping = windows.OpenFileMappingA(os::kFileMapWrite, 0, name.c_str());
    if (mapping != nullptr) {
      windows.CloseHandle(mapping);
      text += "mapping \"" + name + "\" ";
    }
  }
  return text;
}

}  // namespace qel::test
