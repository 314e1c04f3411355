#pragma once
// What an FS image that the writer will write (its info record has version
// 5.2.0) needs of its block table beyond the header's bounds, checked in one
// place for the package loader, which refuses such an image when the package
// loads, and for the FS writer, which refuses it before the first erase.
//
// - Every normal entry's tag has a counter (tags 0 to 7): a data block that
//   goes bad must have its move recorded.
// - There is a tag-0 reserved block to commit the info block to, and every
//   such block lies inside the info area that the next download scans:
//   otherwise the next download finds no info block and erases the pool.
#include <cstdint>
#include <span>
#include <string>

namespace vantrel {

// True when the info-block scan over the record's info area (from its last
// block down, one block main size at a time) reads block `block`.
bool InfoAreaScansBlock(uint32_t area_start, uint32_t area_length, uint32_t block_main_size,
                        uint32_t block);

// `image` starts with the header, whose entry words the caller has checked to
// lie inside it; `record` is the image's 512-byte info record. False, with
// a reason, on the first broken rule.
bool CheckFsWriteLayout(std::span<const uint8_t> image, uint32_t block_main_size,
                        const uint8_t* record, std::string* why);

}  // namespace vantrel
