#pragma once
// Byte I/O of the simulated phone on the master end of its pty: big-endian
// values, an optional emulated link rate and turnaround latency, a
// transcript of both directions, and no call that can block for good: every
// wait polls in short ticks and leaves by throwing Halt when the phone is
// stopped, hung up or loses power.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel::sim {

// Why the phone stops serving; thrown inside the phone thread only.
struct Halt {
  enum Reason { kStop, kHangup, kPowerCut, kSilence, kPortError } reason;
};

// Hex transcript of both directions. Consecutive bytes of one direction form
// one burst; long bursts are abbreviated unless fullData is set.
class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  bool OpenFile(const std::string& path, std::string* error);
  void set_keep(bool keep) { keep_ = keep; }
  void set_full_data(bool full) { full_ = full; }
  bool active() const { return file_ != nullptr || keep_; }

  void Add(bool fromHost, const uint8_t* p, size_t n);
  void Note(const std::string& text);  // a comment line ("# ...")
  void Flush();
  std::string Text() const;  // kept in memory (keep must be set), bounded

 private:
  void EmitLocked();
  void WriteLocked(const std::string& s);

  mutable std::mutex mu_;
  FILE* file_ = nullptr;
  bool keep_ = false;
  bool full_ = false;
  std::string kept_;
  bool dirHost_ = false;
  std::vector<uint8_t> burst_;
  size_t burstTotal_ = 0;
};

struct LinkTiming {
  double bytesPerSecond = 0;  // 0: full speed
  unsigned turnaroundUs = 0;  // pause before the phone answers what it read
};

class Wire {
 public:
  // `check` is called on every poll tick; it throws Halt to leave.
  Wire(int master, int keptSlave, LinkTiming timing, Transcript* transcript,
       std::function<void()> check);

  uint8_t Get();
  uint16_t GetBe16();
  uint32_t GetBe32();
  void GetBytes(uint8_t* p, size_t n);

  void Put(const uint8_t* p, size_t n);
  void Put(const std::vector<uint8_t>& b) { Put(b.data(), b.size()); }
  void Put8(uint8_t v) { Put(&v, 1); }
  void PutBe16(uint16_t v);
  void PutBe32(uint32_t v);

  // Waits (bounded) until the host has read everything the phone sent, so a
  // hang-up right after an answer does not swallow the answer.
  void WaitDrained(std::chrono::milliseconds limit);
  // Reads and drops whatever comes until Halt (the phone has gone silent).
  [[noreturn]] void DiscardForever();
  // Interruptible sleep.
  void Sleep(std::chrono::microseconds d);
  void SleepUntil(std::chrono::steady_clock::time_point until);
  void Note(const std::string& text);

  uint64_t bytesIn() const { return in_; }
  uint64_t bytesOut() const { return out_; }
  // Times the phone answered after reading: each costs one turnaround.
  uint64_t answers() const { return answers_; }
  // The wire's work as the phone sees it, for a reference sender that
  // repeats it: each read of a field or packet as +n, each write as -n.
  void set_script(std::vector<int32_t>* script) { script_ = script; }
  // Bytes taken by Get and given to Put so far: the dialogue's byte position.
  uint64_t position() const { return pos_; }
  // Makes the link die just before byte `position`: the phone never takes or
  // sends it, and Halt{reason} is thrown instead. A byte the host sends
  // reaches the phone's end of the wire first: the host has always sent it.
  void CutAt(uint64_t position, Halt::Reason reason);
  bool cutStruck() const { return struck_; }

 private:
  void Fill();
  void Pace(size_t n, std::chrono::steady_clock::time_point start);
  uint8_t Take();
  void Script(int64_t n) {
    if (script_) script_->push_back(static_cast<int32_t>(n));
  }
  [[noreturn]] void Strike();
  [[noreturn]] void StrikeOnArrival();
  uint64_t RoomBeforeCut(uint64_t n) const {
    return cut_ && cutAt_ - pos_ < n ? cutAt_ - pos_ : n;
  }

  int master_;
  int slave_;
  LinkTiming timing_;
  Transcript* transcript_;
  std::function<void()> check_;
  std::vector<uint8_t> buf_;
  size_t head_ = 0;
  bool lastWasRead_ = false;
  bool lastWasWrite_ = false;
  std::chrono::steady_clock::time_point linkFree_{};
  uint64_t in_ = 0, out_ = 0, answers_ = 0;
  std::vector<int32_t>* script_ = nullptr;
  uint64_t pos_ = 0;
  bool cut_ = false, struck_ = false;
  uint64_t cutAt_ = 0;
  Halt::Reason cutReason_ = Halt::kHangup;
};

}  // namespace vantrel::sim
