// The face the module shows its host: the two exported records, the start and
// stop entries and the handlers that do nothing.
#pragma once

#include <cstddef>

#include "common/host_abi.h"

namespace qel {

struct ImportPair {
  HostWord id;
  void* table;  // the host's function table for this id, filled in by the host
};
constexpr std::size_t kImportPairs = 4;

struct LinkageRecord {
  HostWord tag;
  ModuleEntry start;
  ModuleEntry stop;
  HostWord reserved1;
  HostWord reserved2;
  HostWord flags;
  HostWord reserved3;
};

// Host table ids and the entries the module calls, by entry number (the byte
// offset is the entry number times the size of a pointer: 0x444 for 273 in the DLL).
constexpr HostWord kHostEventTable = 0x01;
constexpr HostWord kHostCallbackTable = 0x0F;
constexpr HostWord kHostInitTable = 0x19;
constexpr std::size_t kRegisterEventEntry = 273;
constexpr std::size_t kUnregisterEventEntry = 274;
constexpr std::size_t kRegisterCallbackEntry = 80;
constexpr std::size_t kUnregisterCallbackEntry = 81;
constexpr std::size_t kHostInitEntry = 6;
constexpr HostWord kEventIgnored1 = 2;
constexpr HostWord kEventTick = 3;
constexpr HostWord kEventIgnored2 = 36;

// The host's entries as the module calls them.
using HostRegisterEvent = HostWord(QEL_HOSTAPI*)(HostWord event, HostEventHandler handler, HostWord,
                                                 HostWord);
using HostRegisterCallback = HostWord(QEL_HOSTAPI*)(HostCallback handler, HostWord);
using HostInit = HostWord(QEL_HOSTAPI*)();

void QEL_HOSTAPI StartModule();
void QEL_HOSTAPI StopModule();
void QEL_HOSTAPI IgnoreEvent(HostWord, HostWord, HostWord, HostWord);
void QEL_HOSTAPI IgnoreCallback(HostWord, HostWord, HostWord);

}  // namespace qel

// The exported records, by these names. Defined in module/exports.cpp, which
// only the module itself (and tests that play its host) link.
extern "C" {
QEL_EXPORT extern qel::ImportPair ImportTable[qel::kImportPairs];
QEL_EXPORT extern qel::LinkageRecord Linkage;
}
