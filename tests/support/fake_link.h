#pragma once
// A scripted stand-in for the serial port, for fast protocol unit tests.
//
// The script is a queue of steps played in order:
//   ExpectWrite(bytes)  the plug-in must write exactly these bytes next. Writes
//                       need not line up with steps: one write may cover several
//                       ExpectWrite steps, or several writes one step. A
//                       mismatch fails the test with a hex diff.
//   AddRead(bytes)      these bytes become readable. A read takes what it asks
//                       for from consecutive AddRead steps; the rest stays.
//   AddReadTimeout()    the next read returns no further data (a time-out:
//                       Read succeeds with fewer bytes than asked for).
//   AddReadFailure()    the port goes away here: the next read (or write)
//                       fails and Gone() is true from then on.
//   FailNextWrite()     the next write fails without sending anything.
// MarkGone() makes the port vanish at once, outside the script.
//
// When the script is used up, reads time out; writes fail the test unless a
// responder is installed or AllowUnscriptedWrites() was called. A responder
// plays the peer byte by byte (it sees every byte written once the script is
// empty and may queue answers with AddRead), which suits long transfers.
//
// VerifyConsumed() fails the test if steps are left over.
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "link/link.h"
#include "link/wait.h"
#include "platform/serial_port.h"

namespace vantrel::testing {

using Bytes = std::vector<uint8_t>;

// Big-endian wire pieces for building scripts.
Bytes Be16(uint16_t v);
Bytes Be32(uint32_t v);
// Concatenation: Cat({0xAD}, Be32(addr), ...).
Bytes Cat(std::initializer_list<Bytes> parts);
std::string HexString(const uint8_t* p, size_t n);

// It is both the byte link and the protocol's link over it (with a channel of
// its own), so `&fake` is what protocol functions take.
class FakeLink : public platform::ByteLink, public Link {
 public:
  using Responder = std::function<void(FakeLink& link, uint8_t byte)>;

  FakeLink();
  ~FakeLink() override;

  // --- script ---
  FakeLink& ExpectWrite(const Bytes& bytes);
  // The same with a label that a mismatch names (where in a transcript).
  FakeLink& ExpectWrite(const Bytes& bytes, std::string label);
  FakeLink& ExpectWrite8(uint8_t v) { return ExpectWrite(Bytes{v}); }
  FakeLink& ExpectWrite16(uint16_t v) { return ExpectWrite(Be16(v)); }
  FakeLink& ExpectWrite32(uint32_t v) { return ExpectWrite(Be32(v)); }
  FakeLink& AddRead(const Bytes& bytes);
  FakeLink& AddRead8(uint8_t v) { return AddRead(Bytes{v}); }
  FakeLink& AddRead16(uint16_t v) { return AddRead(Be16(v)); }
  FakeLink& AddRead32(uint32_t v) { return AddRead(Be32(v)); }
  FakeLink& AddReadTimeout();
  FakeLink& AddReadFailure();
  FakeLink& FailNextWrite();
  // Expect the boot ROM's echo discipline: the bytes are written and the
  // same bytes come back.
  FakeLink& ExpectEcho(const Bytes& bytes) { return ExpectWrite(bytes).AddRead(bytes); }

  void MarkGone() { gone_ = true; }
  void SetResponder(Responder r) { responder_ = std::move(r); }
  void AllowUnscriptedWrites() { allow_unscripted_writes_ = true; }
  // Called when a mismatch is reported: says what the plug-in was doing
  // (a replay names the last trace line it saw).
  void SetWhere(std::function<std::string()> where) { where_ = std::move(where); }

  // --- inspection ---
  bool ScriptDone() const { return steps_.empty(); }
  std::string DescribeRemaining() const;
  // Adds a test failure naming the steps left over; returns ScriptDone().
  bool VerifyConsumed() const;
  const Bytes& written() const { return written_; }
  // The length of every successful Write call, in order.
  const std::vector<uint32_t>& write_sizes() const { return write_sizes_; }
  uint32_t reads() const { return reads_; }
  // Reads that found the script used up (and timed out).
  uint32_t unscripted_reads() const { return unscripted_reads_; }
  uint32_t flushes() const { return flushes_; }

  // Bytes of read steps at the front of the script (what a read would get).
  uint32_t InputQueued() const;

  // --- ByteLink ---
  bool Read(uint8_t* buf, uint32_t n, uint32_t* got) override;
  bool Write(const uint8_t* buf, uint32_t n, uint32_t* put) override;
  bool Flush() override { ++flushes_; return !gone_; }
  bool SetTimeouts(const platform::Timeouts& t) override;
  platform::Timeouts GetTimeouts() const override { return timeouts_; }
  bool Gone() const override { return gone_; }
  std::string Name() const override { return "fake"; }

  // Make SetTimeouts fail (the port refuses the time-out record).
  void FailSetTimeouts() { fail_set_timeouts_ = true; }

 private:
  enum class Kind { kWrite, kRead, kTimeout, kGoneHere, kFailWrite };
  struct Step {
    Kind kind;
    Bytes bytes;
    size_t pos = 0;  // bytes of this step already matched or read
    std::string label;
  };

  void MatchWrite(const uint8_t* buf, uint32_t n);

  std::deque<Step> steps_;
  Responder responder_;
  std::function<std::string()> where_;
  bool allow_unscripted_writes_ = false;
  bool gone_ = false;
  bool fail_set_timeouts_ = false;
  platform::Timeouts timeouts_;
  Bytes written_;
  std::vector<uint32_t> write_sizes_;
  uint32_t reads_ = 0;
  uint32_t unscripted_reads_ = 0;
  uint32_t flushes_ = 0;
  uint32_t mismatches_ = 0;
};

// Restores the process-wide wait limits when a test that shortened them ends.
class ScopedLimits {
 public:
  ScopedLimits() : saved_(Limits()) {}
  ~ScopedLimits() { Limits() = saved_; }
  ScopedLimits(const ScopedLimits&) = delete;
  ScopedLimits& operator=(const ScopedLimits&) = delete;

 private:
  WaitLimits saved_;
};

}  // namespace vantrel::testing
