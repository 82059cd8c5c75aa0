// The host tables. Entries the module is not meant to call lead to a trap that
// counts the call instead of jumping through a null pointer.
#include "qelsim/host.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qel::sim {

namespace {

constexpr std::size_t kTableEntries = 300;
void* g_event_table[kTableEntries];
void* g_callback_table[kTableEntries];
void* g_init_table[kTableEntries];

std::vector<std::pair<HostWord, HostEventHandler>> g_events;
std::vector<HostCallback> g_callbacks;
std::vector<std::string> g_journal;
int g_unexpected = 0;
int g_init_calls = 0;

void Record(const std::string& line) {
  g_journal.push_back(line);
}

HostWord QEL_HOSTAPI RegisterEvent(HostWord event, HostEventHandler handler, HostWord, HostWord) {
  Record("register event " + std::to_string(event));
  g_events.emplace_back(event, handler);
  return 1;
}

HostWord QEL_HOSTAPI UnregisterEvent(HostWord event, HostEventHandler handler, HostWord, HostWord) {
  Record("unregister event " + std::to_string(event));
  auto found = std::find(g_events.begin(), g_events.end(), std::make_pair(event, handler));
  if (found == g_events.end()) {
    Record("  (it was not registered)");
    return 0;
  }
  g_events.erase(found);
  return 1;
}

HostWord QEL_HOSTAPI RegisterCallback(HostCallback handler, HostWord) {
  Record("register callback");
  g_callbacks.push_back(handler);
  return 1;
}

HostWord QEL_HOSTAPI UnregisterCallback(HostCallback handler, HostWord) {
  Record("unregister callback");
  auto found = std::find(g_callbacks.begin(), g_callbacks.end(), handler);
  if (found == g_callbacks.end()) {
    Record("  (it was not registered)");
    return 0;
  }
  g_callbacks.erase(found);
  return 1;
}

HostWord QEL_HOSTAPI InitCall() {
  Record("init call");
  ++g_init_calls;
  return 0;
}

HostWord QEL_HOSTAPI Trap() {
  Record("unexpected host call");
  ++g_unexpected;
  return 0;
}

template <typename Function>
void Put(void** table, std::size_t entry, Function function) {
  static_assert(sizeof(function) == sizeof(void*));
  std::memcpy(&table[entry], &function, sizeof function);
}

}  // namespace

void AttachHost(ImportPair* import_table) {
  g_events.clear();
  g_callbacks.clear();
  g_journal.clear();
  g_unexpected = 0;
  g_init_calls = 0;
  for (void** table : {g_event_table, g_callback_table, g_init_table}) {
    for (std::size_t i = 0; i < kTableEntries; ++i) Put(table, i, &Trap);
  }
  Put(g_event_table, kRegisterEventEntry, &RegisterEvent);
  Put(g_event_table, kUnregisterEventEntry, &UnregisterEvent);
  Put(g_callback_table, kRegisterCallbackEntry, &RegisterCallback);
  Put(g_callback_table, kUnregisterCallbackEntry, &UnregisterCallback);
  Put(g_init_table, kHostInitEntry, &InitCall);
  for (std::size_t i = 0; i < kImportPairs && import_table[i].id != 0; ++i) {
    switch (import_table[i].id) {
      case kHostEventTable:
        import_table[i].table = g_event_table;
        break;
      case kHostCallbackTable:
        import_table[i].table = g_callback_table;
        break;
      case kHostInitTable:
        import_table[i].table = g_init_table;
        break;
      default:
        Record("ImportTable asks for unknown table id " + std::to_string(import_table[i].id));
        break;
    }
  }
}

void RaiseHostEvent(HostWord event) {
  // A copy: a handler may unregister itself while it runs.
  auto handlers = g_events;
  for (const auto& [registered, handler] : handlers) {
    if (registered == event) handler(0, 0, 0, 0);
  }
}

const std::vector<std::string>& HostJournal() {
  return g_journal;
}

int LiveRegistrations() {
  return static_cast<int>(g_events.size() + g_callbacks.size());
}

int UnexpectedHostCalls() {
  return g_unexpected;
}

}  // namespace qel::sim
