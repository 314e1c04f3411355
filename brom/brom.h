#pragma once
// The boot ROM stage: start handshake, echoed register commands, watchdog and
// power-key sequences, and the load, check and start of the download agent.
// Every function takes the open link first and returns 0 or an error code
// (see vantrel/codes.h).
#include <cstdint>

#include "images/image_desc.h"
#include "link/link.h"

namespace vantrel {

int BootSendEcho8(LinkHandle h, uint8_t value);     // 0, 1 write, 2 read, 3 mismatch/flush
int BootSendEcho16(LinkHandle h, uint16_t value);   // 0, 1, 2, 3
int BootSendEcho32(LinkHandle h, uint32_t value);   // 0, 1, 2, 3
int BootStart(LinkHandle h);                        // 0 or 2005
int BootWrite16(LinkHandle h, uint32_t address, uint16_t value);   // 0 or 2008
int BootRead16(LinkHandle h, uint32_t address, uint16_t* value);   // 0 or 2009
int BootDisableWatchdog(LinkHandle h);              // 0 or 2008
int BootLatchPowerKey(LinkHandle h);                // 0 or 2025
int BootSendDa(LinkHandle h, const ImageDesc* image);  // 0, 1002 or 2004
int BootJumpDa(LinkHandle h, const ImageDesc* image);  // 0 or 2007
int BootConnect(LinkHandle h, const ImageDesc* da1, const ImageDesc* da2);

}  // namespace vantrel
