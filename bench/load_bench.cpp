// Loading the port file with its INIT lines, beside the straightforward stdio
// version of the same two passes (fgets, strtod, fprintf) on the same file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "common/log_stream.h"
#include "config/port_table.h"
#include "support/world.h"

namespace qel::bench {
namespace {

// The port file of `ports` lines, written once per size into its own folder.
struct PortFile {
  SimFolder folder;  // made first: the file goes into its modules folder
  explicit PortFile(int ports) {
    std::FILE* file = std::fopen("modules/Qel.ini", "wb");
    std::vector<PortRecord> records = MakePorts(ports, 0, Layout::kScattered);
    for (int i = 0; i < ports; ++i) {
      const PortRecord& port = records[static_cast<std::size_t>(i)];
      std::fprintf(file, "%.4f;%.4f;%.1f;%.1f;K%03d\r\n", port.latitude, port.longitude,
                   2.0 + i % 7, 10.0 + i % 50, i % 1000);
    }
    std::fclose(file);
  }
};

void LoadWithModule() {
  LogStream log = LogOpen(true);
  LoadPortTable(&log);
  LogClose(&log);
}

// The two passes as a C programmer writes them from the description of the file.
int HasThreeSemicolons(const char* line) {
  const char* p = line;
  for (int i = 0; i < 3; ++i) {
    p = std::strchr(p, ';');
    if (p == nullptr) return 0;
    ++p;
  }
  return 1;
}

void LoadWithStdio() {
  std::FILE* log = std::fopen("modules/Qel.log", "wb");
  std::FILE* in = std::fopen("modules/Qel.ini", "r");
  if (in == nullptr) {
    std::fprintf(log, "Unable open QEL.INI!\r\n");
    std::fclose(log);
    return;
  }
  char line[100];
  int count = 0;
  while (std::fgets(line, sizeof line, in) != nullptr) count += HasThreeSemicolons(line);
  std::fclose(in);
  auto* records =
      static_cast<PortRecord*>(std::calloc(static_cast<std::size_t>(count), sizeof(PortRecord)));
  in = std::fopen("modules/Qel.ini", "r");
  int n = 0;
  while (n < count && std::fgets(line, sizeof line, in) != nullptr) {
    char* s[5];
    s[0] = line;
    int found = 0;
    for (; found < 4; ++found) {
      char* semicolon = std::strchr(s[found], ';');
      if (semicolon == nullptr) break;
      *semicolon = '\0';
      s[found + 1] = semicolon + 1;
    }
    if (found < 3) continue;
    if (found == 3) s[4] = line + std::strlen(line);  // no fourth semicolon: an empty label
    if (std::strlen(s[4]) > 4) s[4][4] = '\0';
    PortRecord& record = records[n++];
    record.latitude = std::strtod(s[0], nullptr);
    record.longitude = std::strtod(s[1], nullptr);
    record.threshold = static_cast<float>(std::strtod(s[2], nullptr));
    record.range = static_cast<float>(std::strtod(s[3], nullptr));
    std::memcpy(record.label, s[4], std::strlen(s[4]));
    std::fprintf(log, "INIT: %d  - s1-%s s2-%s s3-%s s4-%s s5-%s\r\n", n, s[0], s[1], s[2], s[3],
                 s[4]);
    std::fprintf(log, "INIT: Lat - %f; Lon - %f; Qelmarin - %f; Range - %f\r\n", record.latitude,
                 record.longitude, static_cast<double>(record.threshold),
                 static_cast<double>(record.range));
  }
  std::fclose(in);
  std::fclose(log);
  benchmark::DoNotOptimize(records);
  std::free(records);
}

std::string ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void BM_LoadPortFile(benchmark::State& state, bool module) {
  const int ports = static_cast<int>(state.range(0));
  PortFile file(ports);
  // Both must write the same log, or they do not do the same work.
  LoadWithStdio();
  const std::string expected = ReadAll("modules/Qel.log");
  LoadWithModule();
  const bool same = ReadAll("modules/Qel.log") == expected && ThePortTable().count == ports;
  ReleasePortTable();
  if (!same) {
    state.SkipWithError("the module and the stdio version disagree");
    return;
  }
  for (auto _ : state) {
    // Each frees its table within the iteration, as the stdio version must.
    if (module) {
      LoadWithModule();
      ReleasePortTable();
    } else {
      LoadWithStdio();
    }
  }
  state.SetItemsProcessed(state.iterations() * ports);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(expected.size()));
}

BENCHMARK_CAPTURE(BM_LoadPortFile, stdio, false)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadPortFile, module, true)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qel::bench
