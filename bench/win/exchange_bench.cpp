// One exchange between two Windows processes (under Wine on Linux): the module's
// IpcRead and IpcProcess against qelserver.exe, beside a bare SendMessageTimeoutA
// of the same message, atom and block to the same window, so that the server does
// the same work in both and the difference is the client's own.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ipc/ipc_client.h"
#include "qelsim/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

double MicrosecondsEach(Clock::time_point start, int count) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
  int per_round = argc > 2 ? std::atoi(argv[2]) : 2000;
  // qelserver.exe beside this program, started as qelsim starts it.
  std::string error;
  std::unique_ptr<qel::sim::ServerLink> server =
      qel::sim::StartServer(qel::sim::ServerSettings{}, &error);
  if (server == nullptr) {
    std::fprintf(stderr, "the stand-in server did not come up: %s\n", error.c_str());
    return 1;
  }
  std::uint32_t result = qel::IpcOk;
  if (!qel::IpcOpen(0, &result)) {
    std::fprintf(stderr, "IpcOpen failed: %s\n", qel::IpcResultText(result));
    return 1;
  }
  const qel::IpcLink& link = qel::IpcLinkState();
  HWND window = static_cast<HWND>(link.server_window);

  std::uint16_t visibility = 0;
  auto exchange = [&] {
    return qel::IpcRead(qel::offset::kVisibility, 2, &visibility, &result) &&
           qel::IpcProcess(&result);
  };
  // The block still holds the last exchange's read and end records: the server
  // carries out the very same request.
  auto bare = [&] {
    DWORD_PTR reply = 0;
    return ::SendMessageTimeoutA(window, link.message, link.atom, 0, SMTO_BLOCK, 2000, &reply) !=
               0 &&
           reply == 1;
  };
  // A message the window answers without any work: the cost of the crossing alone.
  auto crossing = [&] {
    DWORD_PTR reply = 0;
    return ::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_BLOCK, 2000, &reply) != 0;
  };

  for (int i = 0; i < 200; ++i) {
    if (!exchange() || !bare() || !crossing()) {
      std::fprintf(stderr, "an exchange failed: %s\n", qel::IpcResultText(result));
      return 1;
    }
  }
  std::vector<double> exchanges, bares, crossings;
  // Interleaved rounds, so that whatever else the machine does weighs on all three alike.
  for (int round = 0; round < rounds; ++round) {
    Clock::time_point start = Clock::now();
    for (int i = 0; i < per_round; ++i) exchange();
    exchanges.push_back(MicrosecondsEach(start, per_round));
    start = Clock::now();
    for (int i = 0; i < per_round; ++i) bare();
    bares.push_back(MicrosecondsEach(start, per_round));
    start = Clock::now();
    for (int i = 0; i < per_round; ++i) crossing();
    crossings.push_back(MicrosecondsEach(start, per_round));
  }
  qel::IpcClose();

  std::printf("rounds=%d per_round=%d\n", rounds, per_round);
  std::printf("exchange_min_us=%.3f exchange_median_us=%.3f\n",
              *std::min_element(exchanges.begin(), exchanges.end()), Median(exchanges));
  std::printf("bare_min_us=%.3f bare_median_us=%.3f\n",
              *std::min_element(bares.begin(), bares.end()), Median(bares));
  std::printf("crossing_min_us=%.3f crossing_median_us=%.3f\n",
              *std::min_element(crossings.begin(), crossings.end()), Median(crossings));
  return 0;
}
