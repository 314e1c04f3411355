#pragma once
// Every integer result code of the plug-in, named once. Logs, the command-line
// host and the tests use this table; the protocol functions return the bare
// integers so that the numbers seen by a host stay what they have always been.
#include <cstdint>

namespace vantrel {

enum Code : int {
  kOk = 0,
  // Codes 1 to 12 come from inner functions and mean something only to their
  // direct caller (link statuses, shared-data steps, block-write steps).
  kSharedSendCmd = 1,
  kSharedReadStatus = 2,
  kSharedReadAck = 4,
  kSharedBadAck = 5,
  kSharedSendType = 6,
  kSharedReadTypeAck = 7,
  kSharedBadTypeAck = 8,
  kSharedReadLength = 9,
  kSharedReadData = 10,
  kBlockTransferFailed = 9,
  kBlockChecksumMismatch = 12,
  kPacketZeroFillFailed = 3,
  kPacketChecksumFailed = 4,
  kRomInfoImageTooShort = 1,  // ParseRomInfo: the ROM image is shorter than a record
  kRomInfoNotFound = 2,       // ParseRomInfo: no marker in the first 1 MiB

  // Set-up, port and record look-ups.
  kNoDescriptor = 1002,
  kBloaderInfoTooShort = 1009,
  kSetTimeoutsFailed = 1012,
  kUnknownChipType = 1016,
  kRomInfoNotOnFlash = 1024,
  kRomInfoNoRegions = 1030,  // our own: the ROM information copy lists no region
  kCancelled = 1031,         // our own: a front end cancelled the transfer (never seen by the closed host)
  kWrongFlashGeometry = 1032,  // our own: the front end's geometry check refused the package (never seen by the closed host)

  // Boot ROM stage.
  kBootSendDaFailed = 2004,
  kBootStartFailed = 2005,
  kBootJumpFailed = 2007,
  kBootWrite16Failed = 2008,
  kBootRead16Failed = 2009,
  kBootPowerKeyFailed = 2025,

  // Agent commands and FS writing.
  kFormatFailed = 3019,
  kBadBlock = 3041,
  kOutOfReservedBlocks = 3051,
  kReadFlashFailed = 3100,
  kAgentBadVersion = 4003,
  kAgentConnectFailed = 4004,
  kImageListFailed = 4007,
  kBlockCommandRefused = 4007,
  kNfbWriteFailed = 4008,
  kPacketSendFailed = 4008,
  kFsWriteFailed = 4008,
  kWatchdogFailed = 4012,
  kBootloaderWriteFailed = 4014,
  kReadFlashMisalignedStart = 4017,
  kReadFlashMisalignedLength = 4018,
  kFsLayoutMismatch = 4054,
  kFsNoInfoRecord = 4056,

  // Bootloader information block.
  kBloaderInfoMissing = 5028,
};

struct CodeInfo {
  int code;
  const char* name;
  const char* meaning;
};

// The table, in ascending code order. Several names may share one number
// (4007, 4008, 9): the table lists the number once with every meaning.
const CodeInfo* CodeTable(std::size_t* count);

// "4054 FsLayoutMismatch: ..." style text for logs and the CLI; unknown codes
// are rendered as their number.
const char* CodeName(int code);
const char* CodeMeaning(int code);

}  // namespace vantrel
