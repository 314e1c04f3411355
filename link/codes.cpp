#include "vantrel/codes.h"

#include <iterator>

namespace vantrel {
namespace {

const CodeInfo kTable[] = {
    {0, "Ok", "success"},
    {1, "Inner1", "inner step 1 failed (shared data: sending 0xBE; link: no data; ROM record: image too short)"},
    {2, "Inner2", "inner step 2 failed (shared data: reading the status word; ROM record: not found)"},
    {3, "Inner3", "inner step 3 failed (packet: zero fill; link: error)"},
    {4, "Inner4", "inner step 4 failed (packet: checksum write; shared data: ack read)"},
    {5, "Inner5", "shared data: the agent did not acknowledge 0xBE"},
    {6, "Inner6", "shared data: sending the type failed"},
    {7, "Inner7", "shared data: reading the type acknowledgement failed"},
    {8, "Inner8", "shared data: the agent did not acknowledge the type"},
    {9, "TransferFailed", "shared data: reading the length failed; block write: a unit or page transfer failed"},
    {10, "SharedDataRead", "shared data: a data byte could not be read"},
    {12, "BlockChecksum", "block write: the agent's checksum differs"},
    {1002, "NoDescriptor", "agent image load without a descriptor"},
    {1009, "BloaderInfoTooShort", "bootloader information block shorter than its version needs"},
    {1012, "SetTimeoutsFailed", "setting the port time-outs failed"},
    {1016, "UnknownChipType", "the agent reported an unknown chip type"},
    {1024, "RomInfoNotOnFlash", "no ROM information record in device blocks 2 to 9"},
    {1030, "RomInfoNoRegions", "the ROM information record lists no region"},
    {1031, "Cancelled", "the front end cancelled the transfer between packets or blocks"},
    {1032, "WrongFlashGeometry", "the package's FS images are for another flash geometry (page and spare size) than the phone's"},
    {2004, "BootSendDaFailed", "loading an agent image failed or its checksum differs"},
    {2005, "BootStartFailed", "boot ROM handshake failed or timed out"},
    {2007, "BootJumpFailed", "the jump into the agent failed"},
    {2008, "BootWrite16Failed", "boot ROM register write failed"},
    {2009, "BootRead16Failed", "boot ROM register read failed"},
    {2025, "BootPowerKeyFailed", "power-key latch failed or timed out"},
    {3019, "FormatFailed", "erase command failed"},
    {3041, "BadBlock", "the agent refused a block write: bad block"},
    {3051, "OutOfReservedBlocks", "Run out of reserved blocks"},
    {3100, "ReadFlashFailed", "flash read failed"},
    {4003, "AgentBadVersion", "the agent's version is not 3.2"},
    {4004, "AgentConnectFailed", "agent connection failed"},
    {4007, "CommandRefused", "image list failed, or a block command was refused"},
    {4008, "WriteFailed", "NFB write, packet transfer or FS write failed"},
    {4012, "WatchdogFailed", "watchdog command failed"},
    {4014, "BootloaderWriteFailed", "bootloader write failed"},
    {4017, "ReadMisalignedStart", "flash read start not a multiple of 2048"},
    {4018, "ReadMisalignedLength", "flash read length not a multiple of 2048"},
    {4054, "FsLayoutMismatch", "ROM information check failed or the FS layout differs"},
    {4056, "FsNoInfoRecord", "the FS image has no info record"},
    {5028, "BloaderInfoMissing", "bootloader information block missing"},
};

const CodeInfo* Find(int code) {
  for (const auto& c : kTable)
    if (c.code == code) return &c;
  return nullptr;
}

}  // namespace

const CodeInfo* CodeTable(std::size_t* count) {
  if (count) *count = std::size(kTable);
  return kTable;
}

const char* CodeName(int code) {
  const CodeInfo* c = Find(code);
  return c ? c->name : "Unknown";
}

const char* CodeMeaning(int code) {
  const CodeInfo* c = Find(code);
  return c ? c->meaning : "unknown code";
}

}  // namespace vantrel
