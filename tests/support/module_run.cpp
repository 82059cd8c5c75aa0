// The repeatable module session, its light-word watch and the log grammar.
#include "support/module_run.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "config/port_table.h"
#include "ipc/ipc_block.h"
#include "ipc/ipc_client.h"
#include "light/cycle.h"
#include "module/linkage.h"
#include "qelsim/flight.h"
#include "qelsim/host.h"
#include "support/module_session.h"

namespace qel::test {

ModuleRun::ModuleRun(server::ServerOptions options) {
  ResetPlatformForRun();
  IpcResetForTest();
  ResetTickCounter();
  options.tamper = [this](std::uint8_t* block, std::size_t size) {
    Watch(block);
    if (tamper_) tamper_(block, size);
  };
  server_ = std::make_unique<server::Server>(std::move(options));
  sim::AttachHost(ImportTable);
}

ModuleRun::~ModuleRun() {
  if (started_) Stop();
  server_.reset();
  ReleasePortTable();
  IpcClose();
}

void ModuleRun::Start(const char* ini) {
  WritePortFileAndStart(dir_, ini);
  started_ = true;
}

void ModuleRun::Stop() {
  Linkage.stop();
  started_ = false;
}

void ModuleRun::Tick(int count) {
  RaiseTicks(count);
}

void ModuleRun::Fly(double latitude, double longitude, std::uint16_t visibility_raw) {
  PutAircraft(*server_, latitude, longitude, visibility_raw);
}

std::string ModuleRun::Log() const {
  const std::filesystem::path path = std::filesystem::path(dir_.path()) / "modules" / "Qel.log";
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) ? dir_.ReadModuleFile("Qel.log") : "";
}

void ModuleRun::SetLightWord(std::uint16_t word) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(word),
                                 static_cast<std::uint8_t>(word >> 8)};
  server_->Write(offset::kLightWord, bytes, 2);
  held_ = word;
}

// The block as the server carried it out, before any tampering: each light-word
// write must carry back the 15 bits the server holds, which nobody else changes
// while a cycle runs.
void ModuleRun::Watch(std::uint8_t* block) {
  const std::uint16_t held = held_;  // the request has been carried out: this is the word before
  held_ = server_->LightWord();
  std::uint64_t at = 0;
  while (at + 4 <= ipc::kMappingSize) {
    const std::uint32_t type = ipc::Get32(block + at);
    if (type != ipc::kRecordRead && type != ipc::kRecordWrite) return;
    const std::uint32_t header = type == ipc::kRecordRead ? ipc::kReadHeader : ipc::kWriteHeader;
    if (at + header > ipc::kMappingSize) return;
    const std::uint32_t where = ipc::Get32(block + at + 4);
    const std::uint32_t size = ipc::Get32(block + at + 8);
    if (at + header + size > ipc::kMappingSize) return;
    if (type == ipc::kRecordWrite && where == offset::kLightWord && size == 2) {
      ++light_writes_;
      const std::uint16_t written =
          static_cast<std::uint16_t>(block[at + header] | block[at + header + 1] << 8);
      if ((written & 0x7FFF) != (held & 0x7FFF) && light_violation_.empty()) {
        char text[96];
        std::snprintf(text, sizeof text, "light word written as %04X while the server held %04X",
                      written, held);
        light_violation_ = text;
      }
    }
    at += header + size;
  }
}

namespace {

// The lines the module writes, with %d an integer, %n a number as %f writes it,
// %r a result code's text and %* anything up to the line's end.
constexpr const char* kLines[] = {
    "Module init OK!",
    "Module deinit OK!",
    "Unable open QEL.INI!",
    "INIT: %d  - s1-%*",
    "INIT: Lat - %n; Lon - %n; Qelmarin - %n; Range - %n",
    "Sys_1Hz: Click! Time: FS clock = %d:%d:%d ",
    "Sys_1Hz: Click! Request for time failed: %r",
    "Sys_1Hz: Click! QEL module IPC server not opened !",
    "Request for visibility failed: %r",
    "Request for position failed: %r",
    "Request for lights failed: %r",
    "LIGHTS ON: Port %d, Visibility - %n km: lat: %n, lon: %n, Aircraft lat: %n, lon: %n, "
    "Range:  %n km",
    "LIGHTS OFF: Port %d, Visibility - %n km: lat: %n, lon: %n, Aircraft lat: %n, lon: %n, "
    "Range:  %n km",
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Consumes an integer or a %f number at `at`; false when there is none.
bool Number(std::string_view text, std::size_t* at, bool fixed) {
  std::size_t p = *at;
  if (p < text.size() && text[p] == '-') ++p;
  if (fixed && (text.substr(p, 3) == "inf" || text.substr(p, 3) == "nan")) {
    *at = p + 3;
    return true;
  }
  const std::size_t digits = p;
  while (p < text.size() && IsDigit(text[p])) ++p;
  if (p == digits) return false;
  if (fixed) {
    if (p >= text.size() || text[p] != '.') return false;
    for (int i = 0; i < 6; ++i) {
      if (++p >= text.size() || !IsDigit(text[p])) return false;
    }
    ++p;
  }
  *at = p;
  return true;
}

bool Matches(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return text.empty();
  if (pattern[0] != '%') {
    return !text.empty() && text[0] == pattern[0] && Matches(pattern.substr(1), text.substr(1));
  }
  const char kind = pattern[1];
  pattern.remove_prefix(2);
  if (kind == '*') return true;
  if (kind == 'r') {
    for (std::uint32_t code = 0; code < 16; ++code) {
      const std::string_view reason = IpcResultText(code);
      if (text.substr(0, reason.size()) == reason && Matches(pattern, text.substr(reason.size()))) {
        return true;
      }
    }
    return false;
  }
  std::size_t at = 0;
  return Number(text, &at, kind == 'n') && Matches(pattern, text.substr(at));
}

}  // namespace

std::string LogProblems(const std::string& log) {
  if (!log.empty() && (log.size() < 2 || log.compare(log.size() - 2, 2, "\r\n") != 0)) {
    return "the log does not end with CR LF: ..." +
           log.substr(log.size() > 80 ? log.size() - 80 : 0);
  }
  std::size_t begin = 0;
  while (begin < log.size()) {
    const std::size_t end = log.find('\n', begin);  // there is one: the log ends with CR LF
    if (end == begin || log[end - 1] != '\r') {
      return "a line ends without CR: " + log.substr(begin, end - begin);
    }
    const std::string line = log.substr(begin, end - 1 - begin);
    bool known = false;
    for (const char* pattern : kLines) known = known || Matches(pattern, line);
    if (!known) return "an incomplete or unknown line: " + line;
    begin = end + 1;
  }
  return "";
}

}  // namespace qel::test
