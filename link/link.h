#pragma once
// Link primitives: every byte between the plug-in and the phone goes through
// these. Multi-byte values travel big-endian; every write is flushed before
// the call returns (a byte is on the wire before its echo is read); every call
// reports a LinkStatus instead of raising.
#include <cstdarg>
#include <cstdint>

#include "platform/serial_port.h"

namespace vantrel {

// The open port a protocol function works on; always its first argument.
using LinkHandle = platform::SerialPort*;

enum LinkStatus : int {
  kLinkOk = 0,       // everything written and flushed, or read
  kLinkNoData = 1,   // no byte within the read time-out
  kLinkNothingWritten = 2,
  kLinkError = 3,    // OS call failed, short transfer, or failed flush
};

LinkStatus LinkWrite(LinkHandle h, const uint8_t* buf, uint32_t n);
LinkStatus LinkWrite8(LinkHandle h, uint32_t value);
LinkStatus LinkWrite16(LinkHandle h, uint16_t value);
LinkStatus LinkWrite32(LinkHandle h, uint32_t value);
LinkStatus LinkRead(LinkHandle h, uint8_t* buf, uint32_t n);
LinkStatus LinkReadAll(LinkHandle h, uint8_t* buf, uint32_t n);
LinkStatus LinkRead8(LinkHandle h, uint8_t* out);
LinkStatus LinkRead16(LinkHandle h, uint16_t* out);
LinkStatus LinkRead32(LinkHandle h, uint32_t* out);
// Read constant and write constant in ms; multipliers are 1 ms per byte.
int LinkSetTimeouts(LinkHandle h, uint32_t read_constant_ms, uint32_t write_constant_ms);
// Flushes the port's output once more (the boot ROM echo discipline uses it).
bool LinkFlush(LinkHandle h);
// Formats into a 512-byte buffer (511 characters kept) and prints the text
// unchanged to standard output: no prefix, no time stamp, no newline added.
void LinkLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LinkSleep(uint32_t ms);

// True when the port has gone away (unplugged, hung up): every wait on it
// ends at once.
bool LinkGone(LinkHandle h);

// Big-endian wire helpers, written once.
inline void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint16_t GetBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t GetBe32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
// Little-endian helpers for files, images and flash structures.
inline uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace vantrel
