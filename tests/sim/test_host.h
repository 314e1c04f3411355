#pragma once
// A tiny hand-written host for the simulator tests: raw bytes over the pty's
// slave end, written here from the wire layouts and not from the plug-in's
// code. Time-outs are safety nets only; no test depends on their length.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/phone.h"

namespace vantrel::testing {
using namespace vantrel::sim;

using Bytes = std::vector<uint8_t>;

class TestHost {
 public:
  explicit TestHost(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ >= 0) {
      termios t{};
      ::tcgetattr(fd_, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~TestHost() {
    if (fd_ >= 0) ::close(fd_);
  }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  bool ok() const { return fd_ >= 0; }

  void Send(const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
      ssize_t n = ::write(fd_, b.data() + done, b.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        writeFailed_ = true;
        return;
      }
      done += static_cast<size_t>(n);
    }
  }
  void Send8(uint8_t v) { Send({v}); }
  void SendBe16(uint16_t v) { Send({static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}); }
  void SendBe32(uint32_t v) {
    Send({static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)});
  }
  bool writeFailed() const { return writeFailed_; }

  // Up to n bytes; fewer when the phone stays silent for timeoutMs or the
  // port goes away.
  Bytes Recv(size_t n, int timeoutMs = 5000) {
    Bytes out;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      until - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) continue;
      uint8_t buf[65536];
      size_t want = std::min(sizeof buf, n - out.size());
      ssize_t r = ::read(fd_, buf, want);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (r <= 0) {
        gone_ = true;
        break;
      }
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
  uint8_t Recv8() {
    Bytes b = Recv(1);
    EXPECT_EQ(b.size(), 1u) << "phone did not answer";
    return b.empty() ? 0 : b[0];
  }
  uint16_t RecvBe16() {
    Bytes b = Recv(2);
    EXPECT_EQ(b.size(), 2u) << "phone did not answer";
    return b.size() == 2 ? static_cast<uint16_t>(b[0] << 8 | b[1]) : 0;
  }
  uint32_t RecvBe32() {
    Bytes b = Recv(4);
    EXPECT_EQ(b.size(), 4u) << "phone did not answer";
    uint32_t v = 0;
    for (uint8_t x : b) v = v << 8 | x;
    return b.size() == 4 ? v : 0;
  }
  // True when nothing arrives for quietMs (the phone is silent).
  bool Quiet(int quietMs = 100) { return Recv(1, quietMs).empty(); }
  // True when the port went away (end of file or I/O error) within timeoutMs.
  bool Gone(int timeoutMs = 3000) {
    Recv(1u << 20, timeoutMs);
    return gone_;
  }

  // ---- boot ROM helpers: every item is echoed ----
  void Echo8(uint8_t v) {
    Send8(v);
    EXPECT_EQ(Recv8(), v);
  }
  void Echo32(uint32_t v) {
    SendBe32(v);
    EXPECT_EQ(RecvBe32(), v);
  }
  void Echo16(uint16_t v) {
    SendBe16(v);
    EXPECT_EQ(RecvBe16(), v);
  }
  void Handshake() {
    const uint8_t seq[4] = {0xA0, 0x0A, 0x50, 0x05};
    for (uint8_t b : seq) {
      Send8(b);
      EXPECT_EQ(Recv8(), static_cast<uint8_t>(~b));
    }
  }
  void Write16(uint32_t a, uint16_t v) {
    Echo8(0xA1);
    Echo32(a);
    Echo32(1);
    Echo16(v);
  }
  uint16_t Read16(uint32_t a) {
    Echo8(0xA2);
    Echo32(a);
    Echo32(1);
    return RecvBe16();
  }
  // Image bytes are little-endian words, sent high byte first.
  void Load(uint32_t a, const Bytes& image) {
    Echo8(0xAD);
    Echo32(a);
    Echo32(static_cast<uint32_t>(image.size() / 2));
    Bytes wire;
    for (size_t i = 0; i + 1 < image.size(); i += 2) {
      wire.push_back(image[i + 1]);
      wire.push_back(image[i]);
    }
    Send(wire);
  }
  uint16_t Checksum(uint32_t a, uint32_t words) {
    Echo8(0xA4);
    Echo32(a);
    Echo32(words);
    return RecvBe16();
  }
  void Jump(uint32_t a) {
    Echo8(0xA8);
    Echo32(a);
  }
  void BootIntoAgent() {
    Handshake();
    Load(0x40001400, Bytes(64, 0x11));
    Jump(0x40001400);
  }

  // ---- agent helpers ----
  // The connect sequence with tables of the given sizes; returns the 81 report
  // bytes (empty if the phone went quiet).
  Bytes Connect(uint32_t tableA = 4, uint32_t tableB = 3) {
    Bytes head = Recv(4);
    EXPECT_EQ(head, (Bytes{0xC0, 0x03, 0x02, 0x14}));
    Send({0xFF, 0xFE, 0x00, 0x08, 0x00});
    SendBe32(0x7007FFFF);
    Send8(0x02);
    SendBe32(0);
    SendTable(tableA, 36);
    if (Recv8() == 0x5A) SendTable(tableB, 52);
    Bytes report = Recv(81);
    EXPECT_EQ(report.size(), 81u);
    EXPECT_EQ(Recv8(), 0x5A);
    Recv(9);
    return report;
  }
  // Returns the number of records sent before the phone said "enough".
  uint32_t SendTable(uint32_t count, size_t size) {
    SendBe32(count);
    EXPECT_EQ(Recv8(), 0x5A);
    for (uint32_t k = 0; k < count; ++k) {
      Send(Bytes(size, static_cast<uint8_t>(k)));
      if (Recv8() == 0x5A) return k + 1;
    }
    return count;
  }
  // A harmless agent command: once it is answered, the phone has finished
  // everything sent before it (and recorded it).
  void Sync() {
    Send8(0xE0);
    SendBe32(0);
    EXPECT_EQ(Recv8(), 0x5A);
  }
  void EndDialogue() {
    Send8(0xDB);
    SendBe16(0x40);
    EXPECT_EQ(Recv8(), 0x5A);
  }

 private:
  int fd_ = -1;
  bool writeFailed_ = false;
  bool gone_ = false;
};

// A phone on its own thread with a hand-written host attached.
struct Rig {
  explicit Rig(PhoneConfig cfg = {}, std::shared_ptr<Flash> f = nullptr)
      : flash(f ? f : std::make_shared<Flash>(Geometry::SmallPage())), phone(cfg, flash) {
    std::string err;
    EXPECT_TRUE(phone.Open(&err)) << err;
    phone.Start();
    host = std::make_unique<TestHost>(phone.SlavePath());
    EXPECT_TRUE(host->ok());
  }
  std::shared_ptr<Flash> flash;
  Phone phone;
  std::unique_ptr<TestHost> host;
};

inline uint16_t Sum16(const Bytes& b, size_t from = 0, size_t n = SIZE_MAX) {
  uint32_t s = 0;
  for (size_t i = from; i < b.size() && i - from < n; ++i) s += b[i];
  return static_cast<uint16_t>(s);
}

}  // namespace vantrel::testing
