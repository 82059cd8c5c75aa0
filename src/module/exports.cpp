// The records the host finds by name: the host fills ImportTable's pointers and
// calls the entries Linkage names.
#include "module/linkage.h"

extern "C" {

QEL_EXPORT qel::ImportPair ImportTable[qel::kImportPairs] = {
    {qel::kHostCallbackTable, nullptr},
    {qel::kHostEventTable, nullptr},
    {qel::kHostInitTable, nullptr},
    {0, nullptr},
};

QEL_EXPORT qel::LinkageRecord Linkage = {
    0x00000013, &qel::StartModule, &qel::StopModule, 0, 0, 0x00000900, 0,
};
}
