#pragma once
// Every integer result code of the plug-in, named once. Logs, the command-line
// host and the tests use this table; the protocol functions return the bare
// integers so that the numbers seen by a host stay what they have always been.
#include <cstdint>

namespace vantrel {

// The one list of result codes: X(Name, number, kind, meaning). The enum
// below (kName), the table that logs and `vantrel codes` print, and the front
// end's classes (through the kind) all come from it, so the name a report shows ("4008 WriteFailed")
// is the name the code greps for (kWriteFailed).
//
// Codes 1 to 12 come from inner functions and mean something only to their
// direct caller (link statuses, shared-data steps, block-write steps): the
// list names them by number, and the callers' own names for them are aliases
// further down.
#define VANTREL_RESULT_CODES(X)                                                                                      \
  X(Ok, 0, Ok, "success")                                                                                            \
  X(Inner1, 1, Flash, "inner step 1 failed (shared data: sending 0xBE; link: no data; ROM record: image too short)") \
  X(Inner2, 2, Flash, "inner step 2 failed (shared data: reading the status word; ROM record: not found)")           \
  X(Inner3, 3, Flash, "inner step 3 failed (packet: zero fill; link: error)")                                        \
  X(Inner4, 4, Flash, "inner step 4 failed (packet: checksum write; shared data: ack read)")                         \
  X(Inner5, 5, Flash, "shared data: the agent did not acknowledge 0xBE")                                             \
  X(Inner6, 6, Flash, "shared data: sending the type failed")                                                        \
  X(Inner7, 7, Flash, "shared data: reading the type acknowledgement failed")                                        \
  X(Inner8, 8, Flash, "shared data: the agent did not acknowledge the type")                                         \
  X(TransferFailed, 9, Flash, "shared data: reading the length failed; block write: a unit or page transfer failed") \
  X(SharedDataRead, 10, Flash, "shared data: a data byte could not be read")                                         \
  X(BlockChecksum, 12, Flash, "block write: the agent's checksum differs")                                           \
  /* Set-up, port and record look-ups. */                                                                            \
  X(NoDescriptor, 1002, Package, "agent image load without a descriptor")                                            \
  X(BloaderInfoTooShort, 1009, Package, "bootloader information block shorter than its version needs")               \
  X(SetTimeoutsFailed, 1012, Port, "setting the port time-outs failed")                                              \
  X(UnknownChipType, 1016, Flash, "the agent reported an unknown chip type")                                         \
  X(RomInfoNotOnFlash, 1024, Flash, "no ROM information record in device blocks 2 to 9")                             \
  /* Our own, never seen by the closed host but 1030: */                                                             \
  X(RomInfoNoRegions, 1030, Flash, "the ROM information record lists no region")                                     \
  X(Cancelled, 1031, Cancel, "the front end cancelled the transfer between packets or blocks")                       \
  X(WrongFlashGeometry, 1032, Package,                                                                               \
    "the package's FS images are for another flash geometry (page and spare size) than the phone's")                 \
  X(ReadOutOfRange, 1033, Request, "a flash read range that is empty or reaches past the flash's end")               \
  X(VerifyMismatch, 1034, Flash, "a block read back after the download differs from what was written")               \
  /* Boot ROM stage. */                                                                                              \
  X(BootSendDaFailed, 2004, Start, "loading an agent image failed or its checksum differs")                          \
  X(BootStartFailed, 2005, Start, "boot ROM handshake failed or timed out")                                          \
  X(BootJumpFailed, 2007, Start, "the jump into the agent failed")                                                   \
  X(BootWrite16Failed, 2008, Start, "boot ROM register write failed")                                                \
  X(BootRead16Failed, 2009, Start, "boot ROM register read failed")                                                  \
  X(BootPowerKeyFailed, 2025, Start, "power-key latch failed or timed out")                                          \
  /* Agent commands and FS writing. */                                                                               \
  X(FormatFailed, 3019, Flash, "erase command failed")                                                               \
  X(BadBlock, 3041, Flash, "the agent refused a block write: bad block")                                             \
  X(OutOfReservedBlocks, 3051, Flash, "Run out of reserved blocks")                                                  \
  X(ReadFlashFailed, 3100, Flash, "flash read failed")                                                               \
  X(AgentBadVersion, 4003, Start, "the agent's version is not 3.2")                                                  \
  X(AgentConnectFailed, 4004, Start, "agent connection failed")                                                      \
  X(CommandRefused, 4007, Flash, "image list failed, or a block command was refused")                                \
  X(WriteFailed, 4008, Flash, "NFB write, packet transfer or FS write failed")                                       \
  X(WatchdogFailed, 4012, Flash, "watchdog command failed")                                                          \
  X(BootloaderWriteFailed, 4014, Flash, "bootloader write failed")                                                   \
  X(ReadMisalignedStart, 4017, Request, "flash read start not a multiple of 2048")                                   \
  X(ReadMisalignedLength, 4018, Request, "flash read length not a multiple of 2048")                                 \
  X(FsLayoutMismatch, 4054, Flash, "ROM information check failed or the FS layout differs")                          \
  X(FsNoInfoRecord, 4056, Flash, "the FS image has no info record")                                                  \
  /* Bootloader information block. */                                                                                \
  X(BloaderInfoMissing, 5028, Package, "bootloader information block missing")

enum Code : int {
#define VANTREL_CODE_ENUM(name, number, kind, meaning) k##name = number,
  VANTREL_RESULT_CODES(VANTREL_CODE_ENUM)
#undef VANTREL_CODE_ENUM

  // The inner steps' names for codes 1 to 10, as their direct callers read
  // them.
  kSharedSendCmd = kInner1,
  kSharedReadStatus = kInner2,
  kSharedReadAck = kInner4,
  kSharedBadAck = kInner5,
  kSharedSendType = kInner6,
  kSharedReadTypeAck = kInner7,
  kSharedBadTypeAck = kInner8,
  kSharedReadLength = kTransferFailed,
  kPacketZeroFillFailed = kInner3,
  kPacketChecksumFailed = kInner4,
  kRomInfoImageTooShort = kInner1,  // ParseRomInfo: the ROM image is shorter than a record
  kRomInfoNotFound = kInner2,       // ParseRomInfo: no marker in the first 1 MiB
};

// Which part of the work a code ends, for front ends that class failures:
// Start, the boot ROM stage and the agent's start (a phone that never came
// up); Package, what the package gives; Port, the port's set-up; Request, a
// read range the flash cannot serve; Cancel, the front end's cancel; Flash,
// the agent's commands and the FS writing (and any code not in the list).
enum class CodeKind : int { kOk, kStart, kPackage, kPort, kRequest, kCancel, kFlash };

struct CodeInfo {
  int code;
  const char* name;
  const char* meaning;
  CodeKind kind;
};

// The table, in ascending code order. Several names may share one number
// (4007, 4008, 9): the table lists the number once with every meaning.
const CodeInfo* CodeTable(std::size_t* count);

// The list's name and meaning of a code, for logs and the CLI; a code not in
// the list is "Unknown" / "unknown code" (the text logs have always shown).
const char* CodeName(int code);
const char* CodeMeaning(int code);
CodeKind CodeKindOf(int code);

}  // namespace vantrel
