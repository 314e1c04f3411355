// The download under measurement and its reference: a whole download through
// the session and engine to the simulated phone, and a minimal sender that
// repeats the same wire work on a bare pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "bench/bench.h"
#include "boundary/session.h"
#include "engine/engine.h"
#include "platform/serial_port.h"
#include "tests/support/pty_pair.h"
#include "tools/pkg/sample.h"

namespace vantrel::bench {

uint64_t MakePackage(const std::string& path, uint32_t dataBlocks, uint32_t reservedCount,
                     flashcheck::ExpectedFirmware* expected) {
  pkg::SampleOptions o;
  o.pageSize = 2048;
  o.blockKiB = 128;
  o.multiRegion = true;
  o.fsImages = 4;
  o.dataBlocks = dataBlocks;
  o.extraSections = false;
  o.reservedCount = reservedCount;
  try {
    const pkg::BuiltPackage p = pkg::BuildSamplePackage(o);
    pkg::WriteFile(path, p.bytes);
    uint64_t images = p.bootloader.size() + p.extBootloader.size() + p.rom.size() + p.rom2.size();
    for (const auto& fs : p.fsImages) images += fs.size();
    if (expected) *expected = {p.bootloader, p.extBootloader, p.rom, p.rom2, p.fsImages};
    return images;
  } catch (const std::exception&) {
    return 0;
  }
}

void UsePackage(const std::string& path) {
  ResetPackageForTest();
  SetPackagePath(path);
}

DownloadRun RunDownload(const Options& o, unsigned com, const sim::PhoneConfig& cfg,
                        testing::RecordingHost* host, const flashcheck::ExpectedFirmware* expected,
                        const std::string& transcript) {
  DownloadRun run;
  auto flash = std::make_shared<sim::Flash>(sim::Geometry::LargePage());
  sim::Phone phone(cfg, flash);
  if (!phone.Open(&run.error) || !phone.LinkPort(o.portDir, com, 0, &run.error)) return run;
  CBizDownload* s = new CBizDownload(static_cast<int32_t>(com) - 40);
  s->SetHostCallback(host);
  s->engine().channel().settings().transcript = transcript;
  if (!s->Prepare(0)) {
    run.error = "Prepare failed: the package did not load";
    s->DeletingDestructor(1);
    return run;
  }
  phone.Start();
  const double t0 = NowSeconds(), c0 = ThisThreadCpuSeconds();
  // The port is there from the start, so take it as Connect does once it
  // has appeared: open, then the boot ROM stage.
  run.ok = s->engine().OpenLink(19200, com) == 0 && s->engine().Connect() == 1 && s->Download() == 1;
  run.seconds = NowSeconds() - t0;
  run.cpuSeconds = ThisThreadCpuSeconds() - c0;
  s->DeletingDestructor(1);
  phone.WaitEnded(std::chrono::seconds(5));
  phone.Stop();
  run.record = phone.Record();
  if (!run.ok) run.error = "the download failed (phone: " + run.record.endReason + ")";
  else if (!run.record.problems.empty()) {
    run.ok = false;
    run.error = "the phone saw: " + run.record.problems.front();
  } else if (expected) {
    const flashcheck::CheckReport check = flashcheck::CheckFlash(*flash, *expected);
    if (!check.ok) {
      run.ok = false;
      run.error = "the flash check found: " + (check.problems.empty() ? "?" : check.problems.front());
    }
  }
  return run;
}

namespace {

// Waits for `events` on fd for up to 5 s; false on time-out or error.
bool Ready(int fd, short events) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, 5000) > 0 && (p.revents & events);
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n) {
    ssize_t w = ::write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= size_t(w);
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!Ready(fd, POLLOUT)) {
      return false;
    }
  }
  return true;
}

}  // namespace

double RunMinimalSender(const std::vector<int32_t>& script, SenderCpu* cpu) {
  testing::PtyPair pty;
  ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
  std::atomic<bool> peerOk{true};
  // The peer reads what the host sends and answers with as many bytes as the
  // phone did; it reads in big chunks, as the phone does.
  std::thread peer([&] {
    int64_t largest = 1;
    for (int32_t step : script) largest = std::max<int64_t>(largest, -int64_t(step));
    std::vector<uint8_t> zeros(size_t(largest), 0);
    uint8_t buf[65536];
    size_t have = 0;
    for (int32_t step : script) {
      if (step < 0) {
        if (!WriteAll(pty.master(), zeros.data(), size_t(-step))) return void(peerOk = false);
        continue;
      }
      while (have < size_t(step)) {
        if (!Ready(pty.master(), POLLIN)) return void(peerOk = false);
        ssize_t r = ::read(pty.master(), buf, sizeof buf);
        if (r > 0) have += size_t(r);
        else if (r < 0 && errno != EAGAIN && errno != EINTR) return void(peerOk = false);
      }
      have -= size_t(step);
    }
    if (cpu) cpu->peer = ThisThreadCpuSeconds();
  });
  const double t0 = NowSeconds(), c0 = ThisThreadCpuSeconds();
  bool ok = false;
  // The same OS calls as the plug-in's port, without any protocol around them.
  std::unique_ptr<platform::SerialPort> port = platform::OpenPortPath(pty.slave_path());
  if (port) {
    platform::Timeouts to;
    to.readMultiplier = to.writeMultiplier = 1;
    to.readConstant = to.writeConstant = 5000;
    port->SetTimeouts(to);
    std::vector<uint8_t> data(1 << 16, 0xA5);
    ok = true;
    for (int32_t step : script) {
      uint32_t n = 0;
      if (step > 0) {
        // One write and one flush per field or packet, as a flushed write does.
        if (size_t(step) > data.size()) data.resize(size_t(step), 0xA5);
        ok = port->Write(data.data(), uint32_t(step), &n) && n == uint32_t(step) && port->Flush();
      } else {
        for (uint32_t want = uint32_t(-step); ok && want; want -= n) {
          ok = port->Read(data.data(), std::min<uint32_t>(want, uint32_t(data.size())), &n) && n > 0;
        }
      }
      if (!ok) break;
    }
  }
  const double t = NowSeconds() - t0;
  if (cpu) cpu->sender = ThisThreadCpuSeconds() - c0;
  port.reset();
  if (!ok) {
    // Unblock the peer: closing our end and the pair ends its waits.
    peerOk = false;
  }
  peer.join();
  return ok && peerOk ? t : -1;
}

}  // namespace vantrel::bench
