// Stop-and-wait over a pseudo-terminal: one packet write with its flush, a
// 2-byte sum, and a 1-byte answer from the peer, as the agent's transfers do.
// On a pty the plug-in's own costs show; a real USB link is about 1 MB/s.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "link/link.h"
#include "link/serial.h"
#include "tests/support/pty_pair.h"

namespace {

void BM_StopAndWaitPackets(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  vantrel::testing::PtyPair pty;
  vantrel::testing::PortDir dir;
  dir.Link(40, pty.slave_path());
  std::unique_ptr<vantrel::platform::SerialPort> port;
  if (vantrel::OpenLinkPort(19200, 40, &port) != 0) {
    state.SkipWithError("cannot open the pty");
    return;
  }
  vantrel::LinkSetTimeouts(port.get(), 500, 5000);
  std::atomic<bool> stop{false};
  // The peer: takes a packet plus its sum, answers 0x69.
  std::thread peer([&] {
    std::vector<uint8_t> buf(size + 2);
    size_t have = 0;
    while (!stop) {
      pollfd p{pty.master(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t r = read(pty.master(), buf.data() + have, buf.size() - have);
      if (r <= 0) break;
      have += static_cast<size_t>(r);
      if (have == buf.size()) {
        have = 0;
        uint8_t ack = 0x69;
        if (write(pty.master(), &ack, 1) != 1) break;
      }
    }
  });
  std::vector<uint8_t> packet(size, 0xA5);
  for (auto _ : state) {
    vantrel::LinkWrite(port.get(), packet.data(), size);
    vantrel::LinkWrite16(port.get(), 0x1234);
    uint8_t ack = 0;
    if (vantrel::LinkRead8(port.get(), &ack) != 0 || ack != 0x69) {
      state.SkipWithError("peer did not answer");
      break;
    }
  }
  stop = true;
  peer.join();
  state.SetBytesProcessed(int64_t(state.iterations()) * size);
}
BENCHMARK(BM_StopAndWaitPackets)->Arg(512)->Arg(4096)->Arg(16896)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
