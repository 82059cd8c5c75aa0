// Start and stop: load the ports and register the handlers, then undo both in
// reverse order. Nothing here ever fails towards the host.
#include <cstring>

#include "common/log_stream.h"
#include "config/port_table.h"
#include "light/cycle.h"
#include "module/linkage.h"

namespace qel {

namespace {

// The host's table for `id`, or null when the host gave none.
void* const* HostTable(HostWord id) {
  for (std::size_t i = 0; i < kImportPairs && ImportTable[i].id != 0; ++i) {
    if (ImportTable[i].id == id) return static_cast<void* const*>(ImportTable[i].table);
  }
  return nullptr;
}

template <typename Entry>
Entry HostEntry(HostWord id, std::size_t entry) {
  void* const* table = HostTable(id);
  if (table == nullptr) return nullptr;
  Entry function;
  std::memcpy(&function, &table[entry], sizeof function);
  return function;
}

void RegisterEvent(std::size_t entry, HostWord event, HostEventHandler handler) {
  if (auto call = HostEntry<HostRegisterEvent>(kHostEventTable, entry)) call(event, handler, 0, 0);
}

void RegisterCallback(std::size_t entry, HostCallback handler) {
  if (auto call = HostEntry<HostRegisterCallback>(kHostCallbackTable, entry)) call(handler, 0);
}

}  // namespace

void QEL_HOSTAPI StartModule() {
  LogStream log = LogOpen(true);
  if (auto init = HostEntry<HostInit>(kHostInitTable, kHostInitEntry)) init();
  LogPrintf(&log, "Module init OK!\n");
  LoadPortTable(&log);
  LogClose(&log);
  RegisterEvent(kRegisterEventEntry, kEventIgnored1, IgnoreEvent);
  RegisterEvent(kRegisterEventEntry, kEventTick, TickHandler);
  RegisterEvent(kRegisterEventEntry, kEventIgnored2, IgnoreEvent);
  RegisterCallback(kRegisterCallbackEntry, IgnoreCallback);
}

void QEL_HOSTAPI StopModule() {
  RegisterCallback(kUnregisterCallbackEntry, IgnoreCallback);
  RegisterEvent(kUnregisterEventEntry, kEventIgnored2, IgnoreEvent);
  RegisterEvent(kUnregisterEventEntry, kEventTick, TickHandler);
  RegisterEvent(kUnregisterEventEntry, kEventIgnored1, IgnoreEvent);
  LogStream log = LogOpen(false);
  ReleasePortTable();
  LogPrintf(&log, "Module deinit OK!\n");
  LogClose(&log);
}

void QEL_HOSTAPI IgnoreEvent(HostWord, HostWord, HostWord, HostWord) {}

void QEL_HOSTAPI IgnoreCallback(HostWord, HostWord, HostWord) {}

}  // namespace qel
