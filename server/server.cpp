// The stand-in IPC server's window: request blocks carried out against the data
// space, the version words kept apart from it, and the private host messages.
#include "server/server.h"

#include <algorithm>
#include <cstring>

#include "ipc/ipc_block.h"
#include "ipc/ipc_client.h"
#include "server/state_record.h"

namespace qel::server {

namespace {

using ipc::Get32;

// The version words: 0x3304..0x3307 the server's, 0x3308..0x330B the simulator's,
// whose high half the client writes its own version into.
constexpr std::uint32_t kVersionsBegin = offset::kServerVersion;
constexpr std::uint32_t kVersionsEnd = offset::kSimVersion + 4;

std::uint8_t ByteOf(std::uint32_t word, std::uint64_t index) {
  return static_cast<std::uint8_t>(word >> (8 * index));
}

// Calls visit(type, offset, size, data) for each record until the end record, an
// unknown type, or a record that would leave the mapping: a hostile client's
// block must not carry the server past it.
template <typename Visit>
void WalkBlock(std::uint8_t* block, Visit visit) {
  std::uint64_t at = 0;
  while (at + 4 <= ipc::kMappingSize) {
    const std::uint32_t type = Get32(block + at);
    std::uint32_t header = 0;
    if (type == ipc::kRecordRead) {
      header = ipc::kReadHeader;
    } else if (type == ipc::kRecordWrite) {
      header = ipc::kWriteHeader;
    } else {
      return;
    }
    if (at + header > ipc::kMappingSize) return;
    const std::uint32_t offset = Get32(block + at + 4);
    const std::uint32_t size = Get32(block + at + 8);
    if (at + header + size > ipc::kMappingSize) return;
    visit(type, offset, size, block + at + header);
    at += header + size;
  }
}

}  // namespace

Server::Server(ServerOptions options) : options_(std::move(options)), data_(kDataSpaceSize, 0) {
  const os::OsCalls& os = os::Os();
  request_message_ = os.RegisterWindowMessageA(ipc::kMessageName);
  light_word_message_ = os.RegisterWindowMessageA(kLightWordQueryName);
  const char* class_name = nullptr;
  if (options_.window_class == WindowClass::kIpcServer) class_name = ipc::kServerClass;
  if (options_.window_class == WindowClass::kNetworkClient) class_name = ipc::kNetworkClientClass;
  if (class_name != nullptr) window_ = os.CreateWindowA(class_name, &Server::Proc, this);
}

Server::~Server() {
  if (window_ != nullptr) os::Os().DestroyWindow(window_);
}

void Server::Write(std::uint32_t offset, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < size && offset + i < kDataSpaceSize; ++i)
    data_[offset + i] = bytes[i];
}

void Server::Read(std::uint32_t offset, void* data, std::size_t size) const {
  auto* bytes = static_cast<std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = offset + i < kDataSpaceSize ? data_[offset + i] : 0;
  }
}

void Server::SetState(const SimState& state) {
  const std::uint8_t clock[3] = {state.hour, state.minute, state.second};
  Write(offset::kClock, clock, sizeof clock);
  std::uint8_t raw[8];
  detail::PutLe(raw, state.visibility_raw, 2);
  Write(offset::kVisibility, raw, 2);
  detail::PutLe(raw, static_cast<std::uint64_t>(state.latitude_raw), 8);
  Write(offset::kLatitude, raw, 8);
  detail::PutLe(raw, static_cast<std::uint64_t>(state.longitude_raw), 8);
  Write(offset::kLongitude, raw, 8);
  if (state.light_word) {
    detail::PutLe(raw, *state.light_word, 2);
    Write(offset::kLightWord, raw, 2);
  }
}

std::uint16_t Server::LightWord() const {
  std::uint8_t raw[2];
  Read(offset::kLightWord, raw, 2);
  return static_cast<std::uint16_t>(detail::GetLe(raw, 2));
}

os::LResult Server::Proc(void* context, os::Hwnd window, os::Uint message, os::WParam wparam,
                         os::LParam lparam) {
  auto* server = static_cast<Server*>(context);
  if (message == server->request_message_) return server->OnRequest(wparam);
  if (message == server->light_word_message_) {
    return static_cast<os::LResult>(detail::kLightWordAnswered | server->LightWord());
  }
  if (message == os::kWmCopyData) return server->OnCopyData(lparam);
  if (message == os::kWmClose) {
    os::Os().DestroyWindow(window);
    return 0;
  }
  if (message == os::kWmDestroy) {
    server->window_ = nullptr;
    if (server->options_.on_destroyed) server->options_.on_destroyed();
  }
  return 0;
}

os::LResult Server::OnRequest(os::WParam atom) {
  const os::OsCalls& os = os::Os();
  ++requests_;
  if (options_.ignore_from != 0 && requests_ >= options_.ignore_from &&
      requests_ <= options_.ignore_to) {
    ++ignored_;
    os.Sleep(options_.hang_ms);  // outlasts the sender's time-out
    return 0;
  }
  if (atom == 0 || atom > 0xFFFF) return 0;
  char name[ipc::kMappingNameMax] = {};
  if (os.GlobalGetAtomNameA(static_cast<os::Atom>(atom), name, sizeof name) == 0) return 0;
  last_mapping_name_ = name;
  os::Handle mapping = os.OpenFileMappingA(os::kFileMapWrite, 0, name);
  if (mapping == nullptr) return 0;
  // Asking for the protocol's full size fails on a smaller mapping instead of
  // letting the walk run off its end.
  auto* block = static_cast<std::uint8_t*>(
      os.MapViewOfFile(mapping, os::kFileMapWrite, 0, 0, ipc::kMappingSize));
  if (block == nullptr) {
    os.CloseHandle(mapping);
    return 0;
  }
  CarryOut(block);
  if (options_.tamper) options_.tamper(block, ipc::kMappingSize);
  os.UnmapViewOfFile(block);
  os.CloseHandle(mapping);
  return options_.answer;
}

void Server::CarryOut(std::uint8_t* block) {
  bool handshake = false;
  WalkBlock(block, [&handshake](std::uint32_t type, std::uint32_t offset, std::uint32_t size,
                                std::uint8_t*) {
    const std::uint64_t end = std::uint64_t{offset} + size;
    if (type == ipc::kRecordRead && offset < kVersionsEnd && end > kVersionsBegin) handshake = true;
  });
  bool zero_versions = false;
  if (handshake) zero_versions = ++handshakes_ <= options_.zero_versions_for;
  WalkBlock(block, [this, zero_versions](std::uint32_t type, std::uint32_t offset,
                                         std::uint32_t size, std::uint8_t* data) {
    if (type == ipc::kRecordRead) {
      ReadSpace(offset, data, size, zero_versions);
    } else {
      WriteSpace(offset, data, size);
    }
  });
}

void Server::ReadSpace(std::uint64_t offset, std::uint8_t* out, std::uint32_t size,
                       bool zero_versions) {
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::uint64_t at = offset + i;
    if (at >= kDataSpaceSize) {
      out[i] = 0;
    } else if (at >= kVersionsBegin && at < kVersionsEnd) {
      // The simulator word always answers 0xFADE in its high half, whatever the
      // client wrote there, or the next opening would fail its version check.
      out[i] = zero_versions ? 0
               : at < offset::kSimVersion
                   ? ByteOf(options_.server_version, at - kVersionsBegin)
                   : ByteOf(options_.sim_version_word, at - offset::kSimVersion);
    } else {
      out[i] = data_[static_cast<std::size_t>(at)];
    }
  }
}

void Server::WriteSpace(std::uint64_t offset, const std::uint8_t* in, std::uint32_t size) {
  bool client_version_written = false;
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::uint64_t at = offset + i;
    if (at >= kDataSpaceSize) break;
    if (at >= offset::kClientVersion && at < kVersionsEnd) {
      client_version_bytes_[at - offset::kClientVersion] = in[i];
      client_version_written = true;
    } else if (at < kVersionsBegin || at >= kVersionsEnd) {
      data_[static_cast<std::size_t>(at)] = in[i];
    }  // the version words themselves are the server's and stay as they are
  }
  if (client_version_written) {
    client_version_ = static_cast<std::uint16_t>(detail::GetLe(client_version_bytes_, 2));
  }
}

os::LResult Server::OnCopyData(os::LParam lparam) {
  const auto* copy = reinterpret_cast<const os::CopyData*>(lparam);
  if (copy == nullptr || copy->tag != kStateTag || copy->size != detail::kStateRecordSize ||
      copy->data == nullptr) {
    return 0;
  }
  SetState(detail::DecodeState(static_cast<const std::uint8_t*>(copy->data)));
  return 1;
}

bool ServerSendState(os::Hwnd server_window, const SimState& state) {
  std::uint8_t record[detail::kStateRecordSize];
  detail::EncodeState(state, record);
  os::CopyData copy{kStateTag, static_cast<os::Dword>(sizeof record), record};
  os::DwordPtr reply = 0;
  return os::Os().SendMessageTimeoutA(server_window, os::kWmCopyData, 0,
                                      reinterpret_cast<os::LParam>(&copy), os::kSmtoBlock,
                                      ipc::kSendTimeoutMs, &reply) != 0 &&
         reply == 1;
}

std::optional<std::uint16_t> ServerQueryLightWord(os::Hwnd server_window) {
  const os::OsCalls& os = os::Os();
  const os::Uint message = os.RegisterWindowMessageA(kLightWordQueryName);
  if (message == 0) return std::nullopt;
  os::DwordPtr reply = 0;
  if (os.SendMessageTimeoutA(server_window, message, 0, 0, os::kSmtoBlock, ipc::kSendTimeoutMs,
                             &reply) == 0 ||
      (reply & detail::kLightWordAnswered) == 0) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(reply & 0xFFFF);
}

}  // namespace qel::server
