#pragma once
// Extension exports beside the six entry points, for front ends that run
// several phones in one process (the `vantrel` station CLI). The closed host
// never calls them and sees nothing change when they are absent or unused:
// a session whose log is not routed prints its trace to standard output
// exactly as before.
//
// `session` is the pointer NewDll handed out. Every function is safe to call
// with a null session (it returns 0) and never raises.
//
// Threads: VantrelSetLog and VantrelLastFailure are called on the thread that
// drives the session (before Prepare, or between its operations).
// VantrelCancel may be called on any thread, like Stop.
#include <stdint.h>

#include "vantrel/interface.h"

extern "C" {

// Receives each trace line of one session, the text exactly as it would have
// been printed (newline included).
typedef void (*VantrelLogFunction)(void* user, const char* text);

// Routes the session's protocol trace to `fn` (null: back to standard
// output). Returns 1, or 0 for a null session.
VANTREL_API int32_t VantrelSetLog(CInterfaceTemplate* session, VantrelLogFunction fn, void* user);

// The session's last failure: *code is its result code (0: none recorded) and
// `detail` receives a one-line "where and why" (NUL-terminated, cut to
// `size`). Returns 1 when a failure is recorded, else 0. Connect and
// Download record theirs here (the boot ROM stage's result included, which
// Connect's own return value does not carry).
VANTREL_API int32_t VantrelLastFailure(CInterfaceTemplate* session, int32_t* code, char* detail,
                                       uint32_t size);

// Asks the session to stop at its next safe point: the port wait ends as
// with Stop, and a running transfer ends between packets or blocks with
// the code 1031 (Cancelled), leaving the phone as a power cut would.
// Returns 1, or 0 for a null session.
VANTREL_API int32_t VantrelCancel(CInterfaceTemplate* session);

}  // extern "C"

using VantrelSetLogFn = int32_t (*)(CInterfaceTemplate*, VantrelLogFunction, void*);
using VantrelLastFailureFn = int32_t (*)(CInterfaceTemplate*, int32_t*, char*, uint32_t);
using VantrelCancelFn = int32_t (*)(CInterfaceTemplate*);
