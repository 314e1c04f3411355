#pragma once
// The two writers that put an FS image on the flash once the working block
// table and the info block to write back are settled.
#include <cstdint>
#include <span>

#include "nand/block_device.h"
#include "nand/block_map.h"
#include "nand/fs_format.h"

namespace vantrel {

// Writes every data block to its block in `m`, each either whole or as its at
// most three used pages. A block the device calls bad (3041) moves to the
// first free reserved block of its tag, and the move is recorded in
// `table_source` (the info block's main data): the remap entry base + i
// becomes replacement - fs_start_block, and the tag's counter at least that
// entry + 1, so the next download skips the block it now holds.
// `data_blocks` starts at data block 0. Progress: type 3, i x 100 / count,
// then 100. Results: 0, 3051, 4008, 4054 (remap entry out of range or not
// expressible), 4056 (buffers shorter than the header says, or a bad block
// whose tag has no counter).
int WriteDataBlocks(std::span<uint8_t> table_source, BlockMappingTable& m, BlockDevice& device,
                    std::span<const uint8_t> data_blocks, const FsImageHeader& header,
                    uint32_t base, uint32_t fs_start_block, uint32_t port);

// Writes `info` to the last free tag-0 reserved block (never to `old_block`,
// the phone's current info block, 0 for none), and only then erases
// `old_block`. A new block answering 3041 stays taken and the next one is
// tried. Results: 0, 3051, 4008, 4056 (`info` not of the header's geometry).
int CommitInfoBlock(BlockDevice& device, const SplitBlock& info, uint32_t old_block,
                    BlockMappingTable& m, const FsImageHeader& header);

}  // namespace vantrel
