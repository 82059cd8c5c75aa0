// The fixed texts of the IPC result codes.
#include <array>

#include "ipc/ipc_client.h"

namespace qel {

namespace {
constexpr std::array<const char*, 16> kResultTexts = {
    "Okay",
    "Attempt to Open when already Open",
    "Cannot link to IPC server or network client",
    "Failed to Register common message with Windows",
    "Failed to create Atom for mapping filename",
    "Failed to create a file mapping object",
    "Failed to open a view to the file map",
    "Incorrect version of IPC server, or not IPC server",
    "Sim is not version requested",
    "Call cannot execute, link not Open",
    "Call cannot execute: no requests accumulated",
    "IPC timed out all retries",
    "IPC sendmessage failed all retries",
    "IPC request contains bad data",
    "Maybe running on network client, but FS not running on Server, or wrong IPC server",
    "Read or Write request cannot be added, memory for Process is full",
};
}  // namespace

const char* IpcResultText(std::uint32_t code) {
  return code < kResultTexts.size() ? kResultTexts[code] : "Unknown IPC result code";
}

}  // namespace qel
