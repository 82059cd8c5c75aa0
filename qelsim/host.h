// qelsim's side of the host interface: the three function tables the module
// finds through ImportTable, with every registration recorded, and the raising
// of host events for whatever handlers are registered.
#pragma once

#include <string>
#include <vector>

#include "module/linkage.h"

namespace qel::sim {

// One host per process: the module's calls into the tables carry no context.
// Attaching starts afresh: no registrations, an empty journal.
void AttachHost(ImportPair* import_table);

// Calls every handler registered for `event`, in registration order.
void RaiseHostEvent(HostWord event);

// What the module has done through the tables, in order ("register event 3", ...).
const std::vector<std::string>& HostJournal();
// Registrations not undone yet; host calls to entries the module has no business with.
int LiveRegistrations();
int UnexpectedHostCalls();

}  // namespace qel::sim
