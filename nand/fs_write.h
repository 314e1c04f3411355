#pragma once
// Writing one file-system image onto the phone's flash through the agent.
//
// Before writing, the phone's ROM information record and its current info
// block are read back: the image must fit the ROM's FS region; an info block
// of the same version carries the phone's remaps and tag counters over, one of
// another version makes the FS area be erased, and with none the reserved pool
// is erased. Data blocks then go out (bad ones replaced from the reserved
// pool), and the info block is committed last, the previous one erased only
// after the new one is on the flash.
//
// Results (see vantrel/codes.h):
//   0     written, or skipped because the image's info version is not 5.2.0
//         (the version is tested first: an image to skip never fails on the
//         rest of its header)
//   1024  no ROM information record in device blocks 2 to 9, or a read failed
//   3051  a reserved block of some tag was needed and none was left
//   3100  (or the read's own code) a read of the info area failed: nothing
//         has been erased, the phone keeps its info block
//   4008  an erase or a block write failed
//   4054  the ROM record fails the check; the phone's info block has the same
//         version but another layout; or the image's blocks do not fit the
//         device's FS region as the remap table describes it (remap index
//         past the table, a reserved block no remap entry can name)
//   4056  the image is malformed: no info record, a header that
//         ParseFsImageHeader refuses (too short for its header, info block and
//         data blocks; entry words past the header; countersEnd outside one
//         block's main data; ...), or a block table CheckFsWriteLayout refuses
//         (a data block tag without a counter, a tag-0 reserved block outside
//         the info area)
// Every refusal of an image or of the phone's layout comes before the first
// erase. Each non-zero result records its cause in the channel's failure
// detail.
#include <array>
#include <cstdint>

#include "images/image_desc.h"
#include "images/rom_info.h"
#include "nand/block_device.h"
#include "nand/fs_format.h"

namespace vantrel {

// What the FS writes of one download share. An info block of another
// version makes the writer erase the whole FS range, which also holds the
// images this download has already written: a power cut while a later
// image's info block was programmed leaves exactly such a block (marked, with
// no record page). So the range is erased at most once per download, and an
// erase that comes after an image of this download was written asks the
// download to write its FS images again from the first.
struct FsDownloadState {
  bool imageWritten = false;  // set by the caller once an image is on the flash
  bool rangeErased = false;   // set by the writer: this download erased the range
  bool writeAgain = false;    // set by the writer: the erase wiped written images;
                              // the image was not written, start again
};

// Writes one FS image on a block device (the download plan hands it the
// agent's block commands; tests an in-memory NAND). Reports and the failure
// detail go through the device's channel. `state` (may be null: a download of
// this one image) is shared by the FS writes of one download.
int WriteFsImageOn(BlockDevice& device, const ImageDesc& image, uint32_t erase_start,
                   uint32_t erase_length, uint32_t port, FsDownloadState* state = nullptr);

// What the phone's flash decides for one FS image's write, found by reading
// only: the writer acts on it (erases, then writes), identify shows it as the
// next download's action.
enum class FsNextAction {
  kSkip,               // the image's info version is not 5.2.0: nothing is read or written
  kCarryRemaps,        // the phone's info block has the image's version and layout
  kEraseReservedPool,  // no info block in the info area
  kEraseRange,         // the info block found has another version: the FS range is erased
};
struct FsWritePlan {
  FsImageHeader header;
  SplitBlock imageInfo;  // the image's own info block
  FsInfoRecord imageRecord{};
  RomInfoRecord rom{};
  uint32_t fsStartBlock = 0;
  uint32_t base = 0;        // remap entry of data block 0
  SplitBlock deviceInfo;    // the phone's info block, when found
  FsInfoRecord deviceRecord{};
  uint32_t foundBlock = 0;  // its number; 0 when none was found
  FsNextAction action = FsNextAction::kSkip;
};
// Checks the image, reads the ROM information record (unless `rom` gives the
// one the flash will hold) and the info area, and decides. Nothing is written
// or erased. Returns 0 or the code the write would fail with before its first
// erase (see above), with the failure detail recorded.
int PlanFsWrite(BlockDevice& device, const ImageDesc& image, FsWritePlan* plan, const RomInfoRecord* rom = nullptr);

// Searches device blocks 2 to 9 (main data only) for "MTK_ROMINFO_v". Only a
// match with the whole 352-byte record inside the block counts. Tells a
// failed read (`read_code`, kReadFailed) from no record, and where the record
// lies (`block`).
enum class RomInfoSearch { kFound, kNone, kReadFailed };
RomInfoSearch SearchRomInfo(BlockDevice& device, uint32_t block_main_size, RomInfoRecord* out, uint32_t* block,
                            int* read_code);

// At least two regions, region 1 (the FS region) not empty, identifier
// "05200001", and every used region of the image inside region 1.
bool CheckRomInfo(const RomInfoRecord& rom, const FsInfoRecord& image);

// Scans the info area from its last block down for a good block whose page 0
// carries the info marker and which holds an info record. When found, `block`
// is split into main and spare, `record` holds its record, `block_number` its
// number (address / block main size). Only a scan that read every block of
// the area reports none; a failed read ends it with kReadFailed and the
// read's code in `read_code` (the phone's info block may be the one unread).
enum class InfoScan { kFound, kNone, kReadFailed };
InfoScan FindInfoBlock(BlockDevice& device, const FsImageHeader& header, uint32_t area_start,
                       uint32_t area_length, SplitBlock* block, uint32_t* block_number,
                       FsInfoRecord* record, int* read_code = nullptr);

// Erases the header's reserved pool as runs of consecutive blocks.
bool EraseReservedPool(BlockDevice& device, const FsImageHeader& header);

// True when remap entries base .. base + dataBlockCount - 1 all lie before
// the tag counters of an info block of this header.
bool RemapRangeFits(const FsImageHeader& header, uint32_t base);

}  // namespace vantrel
