#pragma once
// Extension exports beside the six entry points, for front ends that run
// several phones in one process (the `vantrel` station CLI). The closed host
// never calls them and sees nothing change when they are absent or unused:
// a session whose log is not routed prints its trace to standard output
// exactly as before.
//
// `session` is the pointer NewDll handed out. Every function is safe to call
// with a null session (it returns 0) and never raises. The header is C as
// well as C++, so a plain C host can use it. The shared library exports
// these functions; the Windows DLL keeps the closed host's export table and
// carries none of them.
//
// Threads: VantrelSetLog, VantrelLastFailure and VantrelFailureCause are
// called on the thread that drives the session (before Prepare, or between
// its operations).
// VantrelCancel may be called on any thread, like Stop.
#include <stdint.h>

#ifdef __cplusplus
#include "vantrel/interface.h"
extern "C" {
#else
// C sees the session only as a pointer; C++ gets the class of interface.h.
typedef struct CInterfaceTemplate CInterfaceTemplate;
#if defined(_WIN32)
#define VANTREL_API
#else
#define VANTREL_API __attribute__((visibility("default")))
#endif
#endif

// Receives each trace line of one session, the text exactly as it would have
// been printed (newline included).
typedef void (*VantrelLogFunction)(void* user, const char* text);

// Routes the session's protocol trace to `fn`. Returns 1, or 0 for a null
// session or a null `fn` (nothing changes).
VANTREL_API int32_t VantrelSetLog(CInterfaceTemplate* session, VantrelLogFunction fn, void* user);

// The session's last failure: *code is its result code (0: none recorded) and
// `detail` receives a one-line "where and why" (NUL-terminated, cut to
// `size`). Returns 1 when a failure is recorded, else 0. Connect and
// Download record theirs here (the boot ROM stage's result included, which
// Connect's own return value does not carry).
VANTREL_API int32_t VantrelLastFailure(CInterfaceTemplate* session, int32_t* code, char* detail,
                                       uint32_t size);

// What the link saw behind a failure. The result codes stay as the host
// knows them (a block command that got no answer is "refused" to it); the
// cause says what really happened.
enum VantrelCause {
  VANTREL_CAUSE_NONE = 0,          // nothing failed on the link: a check of the plug-in's own, a cancel
  VANTREL_CAUSE_PORT_GONE = 1,     // the port went away: unplugged, hung up, power lost
  VANTREL_CAUSE_NO_ANSWER = 2,     // the phone sent no byte within the limit
  VANTREL_CAUSE_WRITE_FAILED = 3,  // the port stopped taking bytes, though it is still there
  VANTREL_CAUSE_REFUSED = 4,       // the link carried every byte: the phone's answer ended the step
  VANTREL_CAUSE_READ_FAILED = 5,   // reading from the port failed, though it is still there
};

// The cause behind the failure VantrelLastFailure gives: *cause receives a
// VantrelCause and *silent_ms, for VANTREL_CAUSE_NO_ANSWER, the time the
// phone sent no byte (port time, as the limits count it), else 0. Either may
// be null. Returns 1 when a failure is recorded, else 0 with
// VANTREL_CAUSE_NONE.
VANTREL_API int32_t VantrelFailureCause(CInterfaceTemplate* session, int32_t* cause, uint32_t* silent_ms);

// Asks the session to stop at its next safe point: the port wait ends as
// with Stop, and a running transfer ends between packets or blocks with
// the code 1031 (Cancelled), leaving the phone as a power cut would.
// Returns 1, or 0 for a null session.
VANTREL_API int32_t VantrelCancel(CInterfaceTemplate* session);

// Per-session settings, set on the thread that drives the session before
// Prepare. Each is off unless set; the closed host's dialogue is the same
// either way until a setting changes what happens. Returns 1, or 0 for a
// null session or an unknown key (nothing changes). A session starts with
// what the closed host's environment gives (VANTREL_TIME_SCALE,
// VANTREL_TRANSCRIPT, VANTREL_PORT_DIR), read once when it is made; a setting
// changes that session only.
enum {
  // 1: before the first write of the download, one flash read names the
  // phone's page and spare size; when the package's FS images are for
  // another geometry the download ends there with 1032 (WrongFlashGeometry),
  // nothing written. A package without FS images is not checked.
  VANTREL_SETTING_CHECK_GEOMETRY = 1,
  // 1: the reset countdown after a successful download ends as soon as the
  // session's port has gone (the phone reset) or on VantrelCancel; Download
  // still returns 1.
  VANTREL_SETTING_RESET_WAIT_ENDS_WHEN_GONE = 2,
  // n > 0: each answer of the agent (a status byte, a short answer) is
  // waited for n ms before the phone counts as not answering (by default
  // 30 s); 0: the default again.
  VANTREL_SETTING_ANSWER_LIMIT_MS = 3,
  // n >= 1: the protocol's fixed pauses run n times faster, on a
  // pseudo-terminal only (a simulated phone); a real port ignores it.
  VANTREL_SETTING_TIME_SCALE = 4,
  // 1: after the last FS image is committed and before the watchdog command,
  // every FS block the download wrote (each data block where it finally
  // went, after bad-block replacement, and each info block committed) is
  // read back with its spare bytes and compared with what was sent; pages a
  // page write did not send must read erased. A difference fails the
  // download with 1034 (VerifyMismatch), the detail naming the FS image, the
  // block and the first differing page. The bootloader and ROM images are
  // not read back: the agent checks them by their checksums, and where they
  // lie on the flash is its choice. Shown as VANTREL_STAGE_VERIFY.
  VANTREL_SETTING_VERIFY = 5,
  // 1: Prepare loads no package and sets up only the carried agent: the
  // session can then identify the phone or read its flash, and Download
  // fails with 1002.
  VANTREL_SETTING_WITHOUT_PACKAGE = 6,
};
VANTREL_API int32_t VantrelSetSetting(CInterfaceTemplate* session, int32_t key, int32_t value);

// Text settings, with the same rules (null or "": back to none).
enum {
  // A file that records the session's wire, for field reports; "%u" in it
  // becomes the session's COM number.
  VANTREL_TEXT_TRANSCRIPT = 1,
  // POSIX: the directory whose COM<n> link the session waits for (by default
  // /dev/vantrel). Windows ignores it: COM names are the system's own.
  VANTREL_TEXT_PORT_DIR = 2,
};
VANTREL_API int32_t VantrelSetText(CInterfaceTemplate* session, int32_t key, const char* value);

// Events beside the host's reports: what the session is doing, in terms a
// front end can show without knowing the download's order or parsing a
// report's text. Each event names its stage; the writes say which image of
// the plan they write (image k of n) and how far the stage and the whole
// plan are, in bytes.
enum {
  VANTREL_STAGE_BOOT_ROM = 1,            // handshake and agent upload (Connect)
  VANTREL_STAGE_AGENT_CONNECTION = 2,
  VANTREL_STAGE_FLASH_SCAN = 3,          // the agent scans the flash
  VANTREL_STAGE_BOOTLOADER = 4,
  VANTREL_STAGE_EXT_BOOTLOADER = 5,      // its data goes before the bootloader's
  VANTREL_STAGE_IMAGE_LIST = 6,
  VANTREL_STAGE_ROM_IMAGE = 7,
  VANTREL_STAGE_SECONDARY_ROM_IMAGE = 8,
  VANTREL_STAGE_FS_IMAGE = 9,            // `fs_image` says which
  // Before each FS image the phone's info area is read back block by block
  // from its end: `done` blocks read of `total` in the area (the scan stops
  // at the first info block it finds). Cancellable between blocks.
  VANTREL_STAGE_INFO_READBACK = 10,
  // The reset countdown: `done` seconds waited of `total`; the last event
  // has `end` set to how it ended.
  VANTREL_STAGE_RESET_WAIT = 11,
  // A stage failed (Connect's boot ROM stage, or Download): `code`, `cause`
  // and `detail` say what happened, the other fields where.
  VANTREL_STAGE_FAILED = 12,
  // VantrelIdentify reads the flash: the ROM record, each FS section's info
  // area (also shown block by block as VANTREL_STAGE_INFO_READBACK).
  VANTREL_STAGE_IDENTIFY = 13,
  // VantrelRead: `done` bytes handed to the sink of `total`.
  VANTREL_STAGE_READ_BACK = 14,
  // The download's verify: `done` blocks read back and compared of `total`;
  // the last event (done == total) carries the time it took in `elapsed_ms`.
  VANTREL_STAGE_VERIFY = 15,
};
enum {
  VANTREL_RESET_WAIT_RUNNING = 0,
  VANTREL_RESET_WAIT_COUNTED_DOWN = 1,  // all of it waited
  VANTREL_RESET_WAIT_PORT_GONE = 2,     // the phone's port went away: it reset
  VANTREL_RESET_WAIT_CANCELLED = 3,
};
typedef struct VantrelEvent {
  uint32_t size;          // sizeof(VantrelEvent) as the library filled it
  int32_t stage;          // VANTREL_STAGE_*
  uint32_t done;          // units of the stage done: bytes, blocks read, seconds
  uint32_t total;         // units of the stage in all
  int32_t end;            // VANTREL_RESET_WAIT_* for the reset wait, else 0
  uint32_t image;         // image k (from 1) of the plan's images; 0 outside them
  uint32_t images;        // the plan's images
  uint32_t fs_image;      // FS image (from 1) of the FS stages; else 0
  uint64_t plan_done;     // bytes of the whole plan written
  uint64_t plan_total;    // bytes of the whole plan
  int32_t code;           // VANTREL_STAGE_FAILED: the result code
  int32_t cause;          // VANTREL_STAGE_FAILED: VANTREL_CAUSE_*, 0 when none
  const char* detail;     // VANTREL_STAGE_FAILED: the one-line detail (valid during the call)
  uint32_t elapsed_ms;    // VANTREL_STAGE_VERIFY's last event: the time verify took (port clock)
} VantrelEvent;
typedef void (*VantrelEventFunction)(void* user, const VantrelEvent* event);

// Routes the session's events to `fn` on the thread that drives the session.
// Returns 1, or 0 for a null session or a null `fn` (nothing changes).
VANTREL_API int32_t VantrelSetEvents(CInterfaceTemplate* session, VantrelEventFunction fn, void* user);

// Plans beside the download. Each runs on the thread that drives the
// session in place of Download: after Prepare and Connect, it speaks to the
// agent the boot ROM stage started, ends with the agent's watchdog command
// (the phone resets) and releases the port. Neither writes nor erases
// anything. They report through the host callback and the events as the
// download does, and stop at VantrelCancel between packets or blocks (1031;
// the phone is then left waiting in download mode). Each returns 1 on
// success, 0 on failure (VantrelLastFailure and VantrelFailureCause tell
// why) or for a null session.

// What the next download would do with an FS section of the package.
enum {
  VANTREL_NEXT_NOT_WRITTEN = 0,          // the image's info version is not 5.2.0: skipped
  VANTREL_NEXT_CARRY_REMAPS = 1,         // the phone's info block is carried over, remaps and counters
  VANTREL_NEXT_ERASE_RESERVED_POOL = 2,  // no info block found: the reserved pool is erased
  VANTREL_NEXT_ERASE_RANGE = 3,          // an info block of another version: the FS range is erased
};
enum { VANTREL_MAX_FS_SECTIONS = 4, VANTREL_MAX_ROM_REGIONS = 8, VANTREL_TAG_COUNT = 8 };

typedef struct VantrelFsSection {
  uint32_t slot;              // the package's FS slot, from 1
  int32_t fits;               // 1: the download would write it (result 0)
  int32_t result;             // else the code it would stop with before writing: 1032, 1024, 4054, 4056
  char problem[256];          // why it does not fit (NUL-terminated; empty when it fits)
  uint32_t info_area_start;   // bytes, from the image's info record
  uint32_t info_area_length;
  int32_t info_block_found;   // the phone's info block in that area
  uint32_t info_block;        // its block number
  uint8_t info_version[3];    // its record's version bytes
  uint32_t remaps_in_use;     // the section's data blocks the phone has moved to reserved blocks
  uint16_t tag_counters[VANTREL_TAG_COUNT];
  int32_t next_action;        // VANTREL_NEXT_*, when it fits: from the flash as it is now and from the
                              // info blocks the sections before it in the same info area commit
} VantrelFsSection;

typedef struct VantrelRegion {
  uint32_t start, length;     // main-data bytes
} VantrelRegion;

typedef struct VantrelIdentity {
  uint32_t size;              // in: sizeof(VantrelIdentity) as the caller knows it; out: bytes filled
  uint8_t agent_version[2];   // as the agent announced it (3, 2)
  uint8_t chip_type;
  uint8_t target_report[81];  // the agent's flash report as it came (fields big-endian, unnamed)
  uint8_t scan_result[9];     // the two values and the byte after the agent's flash scan
  uint32_t page_size;         // from a read answer
  uint32_t spare_size;
  uint32_t block_main_size;   // the block size used: the package's, else 16 KiB / 128 KiB by page size
  int32_t rom_info_found;     // a ROM information record in device blocks 2 to 9
  uint32_t rom_info_block;
  int32_t rom_info_version;   // the digits after "MTK_ROMINFO_v"
  uint32_t region_count;      // as the record says
  VantrelRegion regions[VANTREL_MAX_ROM_REGIONS];  // the first region_count of them
  int32_t fs_identifier_ok;   // the record carries "05200001"
  int32_t package_used;       // the session was prepared with a package
  uint32_t fs_section_count;  // the package's FS sections, in slot order
  VantrelFsSection fs_sections[VANTREL_MAX_FS_SECTIONS];
} VantrelIdentity;

// Identifies the phone and, with the session's package, what the next
// download would do (`out->size` must be set).
VANTREL_API int32_t VantrelIdentify(CInterfaceTemplate* session, VantrelIdentity* out);

// What the agent reported when the session's last download connected to it
// (agent_version, chip_type, target_report, scan_result; the rest zero), so
// a front end can record which phone it flashed without another plan.
// Returns 1, or 0 when no download reached the agent (or `out->size` is 0).
VANTREL_API int32_t VantrelPhoneSeen(CInterfaceTemplate* session, VantrelIdentity* out);

enum {
  VANTREL_READ_MAIN_AND_SPARE = 0,  // each page's main data followed by its spare bytes
  VANTREL_READ_MAIN = 1,            // main data only
};
// Receives the bytes read, in order, in pieces of at most 65536 bytes (the
// pointer is valid during the call). Returns 1 to go on, 0 to stop the read
// (it then ends with 1031).
typedef int32_t (*VantrelReadSink)(void* user, const uint8_t* data, uint32_t length);

// Reads `length` bytes of main data from `start` (both multiples of 2048,
// inside the flash) to `sink`. A range not on 2048-byte boundaries gives
// 4017/4018, an empty one or one past the flash's end 1033 with the valid
// range in the detail; a read whose packet sums never match ends with 3100
// once the resend budget is spent.
VANTREL_API int32_t VantrelRead(CInterfaceTemplate* session, uint32_t start, uint32_t length, int32_t mode,
                                VantrelReadSink sink, void* user);

// What a read covers: the range given, or one the flash's ROM information
// record names (its region 1, the FS region), found on the phone first.
enum {
  VANTREL_SPAN_GIVEN = 0,
  VANTREL_SPAN_FS_REGION = 1,   // the FS region
  VANTREL_SPAN_THROUGH_FS = 2,  // from address 0 to the end of the FS region
};
typedef struct VantrelReadRange {
  uint32_t start, length;          // in for VANTREL_SPAN_GIVEN; out for the others (whole 2048-byte pages)
  uint32_t page_size, spare_size;  // out: the flash's, as the read answer named them (a main-data
                                   // read's answer may leave the spare size out: 0)
} VantrelReadRange;
// As VantrelRead, over the range `span` names; `range` (not null) carries
// the range in or out and receives the geometry. A flash without the record
// ends with 1024 before anything is read.
VANTREL_API int32_t VantrelReadSpan(CInterfaceTemplate* session, int32_t span, int32_t mode, VantrelReadSink sink,
                                    void* user, VantrelReadRange* range);

#ifdef __cplusplus
}  // extern "C"
#endif

// Function types for a host that finds the exports by name.
typedef int32_t (*VantrelIdentifyFn)(CInterfaceTemplate*, VantrelIdentity*);
typedef int32_t (*VantrelPhoneSeenFn)(CInterfaceTemplate*, VantrelIdentity*);
typedef int32_t (*VantrelReadFn)(CInterfaceTemplate*, uint32_t, uint32_t, int32_t, VantrelReadSink, void*);
typedef int32_t (*VantrelReadSpanFn)(CInterfaceTemplate*, int32_t, int32_t, VantrelReadSink, void*,
                                     VantrelReadRange*);
typedef int32_t (*VantrelSetLogFn)(CInterfaceTemplate*, VantrelLogFunction, void*);
typedef int32_t (*VantrelLastFailureFn)(CInterfaceTemplate*, int32_t*, char*, uint32_t);
typedef int32_t (*VantrelCancelFn)(CInterfaceTemplate*);
typedef int32_t (*VantrelSetSettingFn)(CInterfaceTemplate*, int32_t, int32_t);
typedef int32_t (*VantrelSetTextFn)(CInterfaceTemplate*, int32_t, const char*);
typedef int32_t (*VantrelSetEventsFn)(CInterfaceTemplate*, VantrelEventFunction, void*);
typedef int32_t (*VantrelFailureCauseFn)(CInterfaceTemplate*, int32_t*, uint32_t*);
