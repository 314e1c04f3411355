#pragma once
// Inside the simulated phone: the target side of the dialogue, run on the
// phone's thread over one Wire. Boot ROM (brom_target.cpp), agent connection
// and small commands (agent_target.cpp), bootloader/image list/NFB
// (agent_images.cpp) and the NAND block commands (agent_nand.cpp).
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/phone.h"
#include "sim/wire.h"

namespace vantrel::sim {

// Status bytes and error words the agent sends.
inline constexpr uint8_t kReady = 0x5A;     // ready / accepted
inline constexpr uint8_t kNext = 0x69;      // packet accepted, send the next
inline constexpr uint8_t kRefuse = 0x1C;    // command refused; a 32-bit error word follows
inline constexpr uint8_t kGiveUp = 0xA5;    // transfer or command abandoned
inline constexpr uint32_t kErrBadBlock = 3041;    // the block is bad: replace it
inline constexpr uint32_t kErrBadArgument = 3040; // geometry or range the flash cannot take
inline constexpr uint32_t kErrChecksum = 3042;    // a packet arrived with a wrong sum
inline constexpr uint32_t kFormatWorking = 3021;  // format progress status

class Target {
 public:
  explicit Target(Phone& phone);
  void Attach(Wire* wire) { wire_ = wire; }
  // Fresh boot ROM state after a reset (registers, memory); fault counters stay.
  void ResetBootRom();
  // Returns once the host jumps into the loaded agent.
  void RunBootRom();
  // Returns once the host ends the dialogue with 0xDB.
  void RunAgent();

 private:
  template <class F>
  void Rec(F&& f) {
    std::lock_guard<std::mutex> lock(phone_.mu_);
    f(phone_.record_);
  }
  void Problem(const std::string& text);
  void FaultLog(const std::string& text);
  // Counts a visit of a fault point; silence or hang-up there throw Halt.
  // Returns true when the echo-mismatch fault strikes at this visit.
  bool Hit(const std::string& point);
  Wire& w() { return *wire_; }

  // Flash operations of this phone, counted for the power-cut fault.
  bool Erase(uint32_t block);
  bool Program(uint32_t block, uint32_t page, const uint8_t* raw, size_t n);
  void AfterOp();
  void EraseMainRange(uint64_t address, uint64_t length);   // whole blocks touched
  void ProgramMain(uint64_t address, const std::vector<uint8_t>& data);  // spare stays 0xFF

  // Boot ROM.
  void Handshake(int firstByte);
  void EchoCommand(uint8_t cmd, const std::string& point);
  uint32_t Echo32();
  uint16_t Echo16();
  uint16_t ReadRegister(uint32_t address);
  void WriteRegister(uint32_t address, uint16_t value);
  void CmdWrite16();
  void CmdRead16();
  void CmdLoad();
  void CmdChecksum();
  bool CmdJump();
  bool MemoryLoadedAt(uint32_t address) const;

  // Agent connection and small commands.
  void Connect();
  void ReceiveTable(size_t recordSize, unsigned stopAfter, bool tableB);
  void SendReport();
  void CmdE0();
  void CmdSharedData();
  void CmdWatchdog();
  // Bootloader, image list, NFB images.
  void CmdBootloader();
  void ReadBootloaderHeader(PhoneRecord::Bootloader& h);
  bool BootloaderChecksumsOk(PhoneRecord::Bootloader& h, const std::vector<uint8_t>& bl,
                             const std::vector<uint8_t>& ext);
  bool ReceiveSummedImage(uint32_t length, uint32_t packetSize, bool withErrorWord,
                          std::vector<uint8_t>* out, unsigned* badPackets);
  void CmdImageList();
  void CmdNfb();
  void EraseNfbBlocks(uint64_t nfbBase);
  bool StoreNfbImages(const std::vector<std::vector<uint8_t>>& images, std::vector<PhoneRecord::NfbImage>& recs);
  void CheckRomInfoPlacement(const std::vector<uint8_t>& rom, uint64_t romAddress);
  // NAND block commands.
  void ReceiveWritePacket(uint8_t* data, size_t n);
  uint32_t CheckWriteTarget(uint32_t block, uint32_t pageSize, uint32_t spareSize);
  bool EraseFails(uint32_t block) const;
  void Refuse(uint32_t block, uint32_t code, const std::string& why);
  void CmdWriteBlock();
  void CmdWritePages();
  void CmdReadFlash();
  // A weak block's programmed page as the read sends it: one main bit flipped.
  void WeakenPage(uint32_t block, uint32_t page, uint8_t* raw);
  void CmdFormat();

  Phone& phone_;
  const PhoneConfig& cfg_;
  Flash& flash_;
  Wire* wire_ = nullptr;

  // Boot ROM state.
  std::map<uint32_t, uint16_t> regs_;
  unsigned busy_ = 0;
  std::map<uint32_t, std::vector<uint8_t>> memory_;  // 4 KiB pages by address >> 12
  bool wrongComplementDone_ = false;
  unsigned checksumAnswers_ = 0;

  // Agent state.
  struct Entry { uint32_t start, length; };
  std::vector<Entry> imageList_;
  uint32_t romInfoStart_ = 0;
  unsigned writePackets_ = 0;
  unsigned resendsLeft_ = 0;
  unsigned corruptLeft_ = 0;
  unsigned blockCommands_ = 0;

  std::map<std::string, unsigned> visits_;
  std::set<uint32_t> weakNoted_;  // weak blocks whose flips are logged already
  uint64_t ops_ = 0;
};

// Little helpers shared by the target files.
uint16_t ByteSum16(const uint8_t* p, size_t n);
uint16_t XorLe16(const uint8_t* p, size_t n);  // XOR of little-endian words
std::string Hex(uint32_t v);

}  // namespace vantrel::sim
