#pragma once
// The simulated phone: the target side of the boot ROM and download-agent
// byte protocols, played on the master end of a pseudo-terminal, with a NAND
// flash behind it. Written from the target's point of view; it shares no code
// with the plug-in.
//
// Typical use:
//   auto flash = std::make_shared<sim::Flash>(sim::Geometry::SmallPage());
//   sim::Phone phone(config, flash);
//   phone.Open();                        // creates the pty
//   phone.LinkPort(dir, 40, 200);        // dir/COM40 appears after 200 ms
//   phone.Start();                       // serves on its own thread
//   ... host talks to phone.SlavePath() or dir/COM40 ...
//   phone.WaitFinished(std::chrono::seconds(30));  // the host sent 0xDB
//   phone.Stop();
//   sim::PhoneRecord r = phone.Record();
//
// Where the agent stores what it receives (byte addresses of main data):
//   ROM image            device block 2 onward: 2 × block main size + its
//                        image-list start address (so the "MTK_ROMINFO_v"
//                        record lands in blocks 2..9 where the host looks)
//   secondary ROM image  2 × block main size + its image-list start address
//   bootloader           bootAreaAddress (default 16 MiB)
//   extended bootloader  the next block boundary after the bootloader
// Each placement is also recorded on the Flash (names "rom", "secondary-rom",
// "bootloader", "extended-bootloader").
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/flash.h"

namespace vantrel::sim {

class PtyPort;
class Target;
class Transcript;
struct LinkTiming;

// A place in the dialogue where a fault strikes, and at which visit (from 1).
// Points: "brom:handshake" (first byte of a start sequence), "brom:0xA1",
// "brom:0xA2", "brom:0xA4", "brom:0xA8", "brom:0xAD" (each on receiving the
// command byte, before its echo), "agent:start" (before 0xC0), "agent:tables",
// "agent:report", "agent:scan", "agent:0xE0", "agent:0xBE", "agent:0xDB",
// "agent:0xDC", "agent:0xDD", "agent:0xDE", "agent:0xBD", "agent:0xC0",
// "agent:0xDF", "agent:0xD4" (on receiving the command byte), "agent:packet"
// (each data packet the host writes, before the answer) and
// "agent:readpacket" (each flash-read packet, before it is sent).
struct FaultPoint {
  std::string point;  // empty: never
  unsigned occurrence = 1;
  bool enabled() const { return !point.empty(); }
  // "agent:0xBD" or "agent:0xBD#3"; nullopt when malformed.
  static std::optional<FaultPoint> Parse(const std::string& text);
};

struct Faults {
  int wrongComplementAt = -1;       // handshake byte 0..3 answered wrongly, once
  FaultPoint echoMismatch;          // the command byte's echo is corrupted
  FaultPoint silenceAt;             // stop answering (the port stays)
  FaultPoint hangupAt;              // close the port (the cable pulled)
  unsigned wrongChecksumAtLoad = 0; // the n-th 0xA4 answer is wrong (0: never)
  std::vector<uint8_t> garbageBeforeC0;  // sent by the agent before its 0xC0
  unsigned corruptReadPackets = 0;  // first n flash-read packets carry a wrong sum
  unsigned resendWritePackets = 0;  // first n block/page packets answered 0x00 (send again)
  unsigned stopAnswerAtPacket = 0;  // the n-th block/page packet answered 0x96 (taken, ends unit)
  unsigned wrongBlockChecksumAt = 0;// the n-th 0xBD returns a wrong XOR
  long powerCutAfterOps = -1;       // power fails after this phone's k-th erase/program (k >= 1)
  // Link faults at a byte position of the dialogue: the bytes of both
  // directions counted from 0 in the order the phone takes and sends them
  // (PhoneRecord::marks tells where each fault point lies). Byte k never
  // gets through: the link dies just before the phone sends it, or once the
  // host has sent it and before the phone takes it, so the cut falls at the
  // same step of the dialogue however the threads are scheduled.
  long hangupAtByte = -1;           // the port closes (the cable pulled)
  long silenceAtByte = -1;          // the phone stops answering; the port stays
  // Blocks that cannot be erased: a 0xD4 over one stops there with the
  // status 3041, the block number and 0xA5 (abandoned), and a block or page
  // write to one is refused with 3041 like a failing block's.
  std::vector<uint32_t> eraseFailing;
  // Weak blocks: they erase and take writes normally (the write's checksum
  // answer is right), but each programmed page (not all 0xFF) reads back
  // through 0xDF with one bit of its main data flipped, the packet's sum
  // computed over what is sent: a fault only a comparison with what was
  // written finds. The flash itself holds the data as written.
  std::vector<uint32_t> weakBlocks;
};

enum class AfterReset {
  kEndSession,  // 0xDB ends the session: the port goes away, Finished() is true
  kBootRom,     // the phone restarts in boot ROM mode on a new pty (relinked)
};

struct PhoneConfig {
  // Boot ROM.
  uint32_t da1Address = 0x40001400;  // a jump here starts the agent
  unsigned powerKeyBusyPolls = 2;    // reads of 0x800C0000 with bits 0x00C0 set after each trigger
  bool powerKeyLatched = false;      // 0x800C0050/54 start as 0xA357/0x67D2
  uint16_t reg800C0058 = 0x12CF;     // initial value (bits 1..3 set)
  // Agent.
  uint8_t chipType = 0x14;
  std::array<uint8_t, 2> daVersion{0x03, 0x02};
  unsigned tableAStopAfter = 0;      // answer 0x5A to record k (0: take all)
  bool wantTableB = true;
  unsigned tableBStopAfter = 0;
  unsigned scanDelayMs = 0;          // "scanning" before the 0x5A after the report
  uint32_t sharedDataLength = 1024;  // per type unless overridden below
  std::map<uint32_t, uint32_t> sharedDataLengths;  // type -> length (may exceed 65536)
  std::map<unsigned, uint32_t> sharedDataStatus;   // n-th 0xBE request (from 1) -> status word
  unsigned formatProgressSteps = 2;  // 3021 statuses per format command
  // Storage.
  uint64_t bootAreaAddress = 16ull << 20;
  uint64_t bootAreaLength = 8ull << 20;
  // Lifecycle.
  AfterReset afterReset = AfterReset::kEndSession;
  unsigned resetDelayMs = 100;       // port absent this long on a reset to boot ROM
  // Link emulation (0: full speed), e.g. 1e6 bytes/s and 1000 us.
  double linkBytesPerSecond = 0;
  unsigned turnaroundUs = 0;
  // Keep PhoneRecord::wireScript (the sizes of every field and packet read
  // and every answer written), for a reference sender to repeat.
  bool recordWireScript = false;
  // Transcript: a hex dump file and/or kept in memory (TranscriptText()).
  std::string transcriptPath;
  bool transcriptFullData = false;   // else long bursts are abbreviated
  bool keepTranscript = false;
  Faults faults;
};

// What the phone received and did, for tests and the CLI.
struct PhoneRecord {
  struct RegisterWrite { uint32_t address; uint16_t value; };
  struct DaLoad {
    uint32_t address = 0;
    uint32_t words = 0;
    uint16_t xorOfData = 0;     // XOR of the big-endian pairs received
    bool checked = false;       // a 0xA4 over the same range followed
    bool answeredRight = false; // ... and was answered with xorOfData
  };
  struct ChecksumAnswer { uint32_t address, words; uint16_t sent; bool deliberatelyWrong; };
  struct Bootloader {
    bool received = false;      // the header was accepted
    uint32_t packetSize = 0;
    std::array<uint8_t, 4> raw88{};
    uint32_t length = 0, value96 = 0, checksum = 0;
    uint32_t extLength = 0, extChecksum = 0;
    uint32_t seed = 0;
    std::string seedSource;     // "info block", "zero (info block version not 1..3)", "derived"
    bool infoBlockFound = false;
    bool headerMatchesInfoBlock = false;  // raw88 and value96 equal the block's
    bool checksumOk = false, extChecksumOk = false;
    unsigned badPackets = 0;
    bool stored = false;
  };
  struct ImageEntry { uint32_t start, end, field3, field4; };
  struct NfbImage {
    uint32_t start = 0, length = 0;
    uint16_t sum = 0;           // byte sum of what arrived
    bool sumChecked = false, sumOk = false;
    unsigned badPackets = 0;
    uint64_t flashAddress = 0;
    bool stored = false;
  };
  struct Read { uint8_t mode; uint32_t start, length, e, total; unsigned resent; bool aborted; };
  struct Format { std::array<uint8_t, 3> options; uint32_t start, length; uint32_t erased; };

  // Boot ROM.
  unsigned handshakes = 0;      // completed start sequences
  unsigned handshakeRestarts = 0;
  std::vector<RegisterWrite> registerWrites;
  unsigned busyPolls = 0;       // reads of 0x800C0000 that showed busy bits
  std::vector<DaLoad> daLoads;
  std::vector<ChecksumAnswer> checksums;
  std::optional<uint32_t> jumpAddress;
  // Agent connection.
  bool agentStarted = false;
  bool connected = false;       // connect sequence finished
  std::vector<uint8_t> settings;  // 0xFF 0xFE 0x00 0x08 0x00 as received
  uint32_t nfiAcccon = 0, clockValue = 0;
  uint8_t clockByte = 0;
  uint32_t tableACount = 0, tableBCount = 0;  // counts announced
  std::vector<uint8_t> tableA, tableB;        // records received
  bool tableBRequested = false;
  std::vector<uint32_t> e0Values;
  std::vector<uint32_t> sharedDataTypes;
  // Images.
  Bootloader bootloader;
  std::vector<uint8_t> imageListPrefix;       // the five bytes after 0xDD
  uint32_t romInfoStart = 0, romInfoEnd = 0;
  std::vector<ImageEntry> imageList;
  bool romInfoMarkerAtListedOffset = false;   // checked once the ROM image arrived
  uint32_t nfbPacketSize = 0;
  std::vector<NfbImage> nfbImages;
  bool nfbComplete = false;
  // NAND commands.
  unsigned blockWrites = 0, pageWrites = 0, pagesWritten = 0;
  std::vector<uint32_t> refusedBlocks;        // 0xBD/0xC0 refused with 3041
  std::vector<uint32_t> writtenBlocks;        // accepted 0xBD/0xC0, in order
  unsigned writePacketsResent = 0;
  std::vector<Read> reads;
  std::vector<Format> formats;
  uint64_t flashOps = 0;                      // erase/program operations by this phone
  // Where the fault points lie: the byte position just after each visit's
  // command byte (for "agent:packet", after the packet), in order.
  struct Mark { std::string point; uint64_t position; };
  std::vector<Mark> marks;
  uint64_t bytesExchanged = 0;                // both directions, as positions count them
  // End.
  std::optional<uint16_t> watchdogValue;      // 0xDB
  unsigned resets = 0;
  std::vector<std::string> faults;            // faults injected, in order
  std::vector<std::string> problems;          // host mistakes and refused input
  std::string endReason;                      // why the thread ended
  // The wire, counted when each port of the phone's life closes.
  uint64_t wireBytesIn = 0, wireBytesOut = 0;
  uint64_t answers = 0;                       // writes after a read: one turnaround each
  double cpuSeconds = 0;                      // the phone thread's processor time, at its end
  std::vector<int32_t> wireScript;            // recordWireScript: +n read, -n written
  // What the emulated link would take for these bytes and answers alone:
  // (in + out) / rate + answers x turnaround; 0 at full speed.
  double IdealLinkSeconds(const PhoneConfig& c) const {
    if (c.linkBytesPerSecond <= 0) return 0;
    return double(wireBytesIn + wireBytesOut) / c.linkBytesPerSecond + double(answers) * c.turnaroundUs * 1e-6;
  }
};

class Phone {
 public:
  explicit Phone(PhoneConfig config = {}, std::shared_ptr<Flash> flash = nullptr);
  ~Phone();  // Stop()
  Phone(const Phone&) = delete;
  Phone& operator=(const Phone&) = delete;

  bool Open(std::string* error = nullptr);  // creates the pty
  std::string SlavePath() const;
  // Makes dir/COM<com> point at the slave, at once or after delayMs (without
  // blocking the caller); dir "" = $VANTREL_PORT_DIR or /dev/vantrel. The
  // link is removed when the port goes away and renewed after a reset.
  bool LinkPort(const std::string& dir, unsigned com, unsigned delayMs = 0,
                std::string* error = nullptr);
  std::string LinkPath() const;

  void Start();    // serves on its own thread (Open first)
  void Hangup();   // closes the port now, as if unplugged; the thread ends
  void Stop();     // ends everything; returns within a fraction of a second
  // True once the host ended the dialogue with 0xDB (end-of-session mode).
  bool WaitFinished(std::chrono::milliseconds timeout);
  // True once the serving thread has ended for any reason.
  bool WaitEnded(std::chrono::milliseconds timeout);
  bool Finished() const;
  bool PortOpen() const;

  Flash& flash() { return *flash_; }
  std::shared_ptr<Flash> flashPtr() const { return flash_; }
  PhoneRecord Record() const;
  std::string TranscriptText() const;
  const PhoneConfig& config() const { return config_; }

 private:
  friend class Target;
  void Run();
  // One power-on's dialogue, from the boot ROM to the watchdog; true when the
  // phone comes back in boot ROM mode for another. `reason` says how it ended.
  bool ServePowerOn(Target& target, const LinkTiming& timing, bool first, std::string* reason);
  void EndRun(Target& target, const std::string& reason);
  void ClosePortLocked();
  bool ReopenPort();  // after a reset to boot ROM; false when stopped

  PhoneConfig config_;
  std::shared_ptr<Flash> flash_;
  std::unique_ptr<Transcript> transcript_;

  mutable std::mutex mu_;  // guards everything below except the atomics
  std::condition_variable cv_;
  PhoneRecord record_;
  std::unique_ptr<PtyPort> port_;
  std::string linkDir_;
  unsigned linkCom_ = 0;
  bool linkWanted_ = false;
  bool finished_ = false, ended_ = false, started_ = false;
  std::atomic<bool> stop_{false}, hangup_{false};
  std::thread thread_;
  std::thread linker_;
};

}  // namespace vantrel::sim
