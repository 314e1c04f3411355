/* A stand-in for the closed host download tool, in plain C. It knows only
 * what the host knows: the DLL's file name, its six exports, the session's
 * slot numbers, and how the host's compiler calls a slot (thiscall: the
 * object in ECX, the arguments on the stack, popped by the callee). Its
 * callback object is a pointer to a table of three thiscall functions.
 *
 *   host_standin PACKAGE [--no-phone]
 *
 * Runs the bad-input checks, then (unless --no-phone) a whole download on
 * port index 0, that is COM40. Every report is logged. Exits 0 when every
 * check passed. */
#include <windows.h>

#include <stdint.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>

/* ---- the plug-in as the host sees it ---------------------------------- */

typedef int32_t(__cdecl *NewDllFn)(void *callback, void **session, int32_t index);
typedef int32_t(__cdecl *DeleteDllFn)(void **session);
typedef int32_t(__cdecl *GetDefinedDataFn)(int32_t type, int32_t *value, char *text);
typedef int32_t(__cdecl *GetParameterFn)(int32_t a, int32_t b);
typedef int32_t(__cdecl *SetParameterFn)(int32_t type, int32_t value);
typedef int32_t(__cdecl *PreviousLoadFn)(const char *path);

typedef int32_t(__thiscall *Slot0Arg)(void *self);
typedef int32_t(__thiscall *Slot1Arg)(void *self, int32_t a);
enum { kPrepare = 1, kConnect = 2, kSetOption = 3, kDownload = 4, kStop = 5, kTiming = 6 };

static NewDllFn NewDll;
static DeleteDllFn DeleteDll;
static GetDefinedDataFn GetDefinedData;
static GetParameterFn GetParameter;
static SetParameterFn SetParameter;
static PreviousLoadFn PreviousLoad;

static void *SlotOf(void *session, int n) { return (*(void ***)session)[n]; }
static int32_t Call0(void *s, int n) { return ((Slot0Arg)SlotOf(s, n))(s); }
static int32_t Call1(void *s, int n, int32_t a) { return ((Slot1Arg)SlotOf(s, n))(s, a); }

/* ---- checks ------------------------------------------------------------- */

static int g_passed, g_failed;
static int g_have_package; /* whether the package file exists */

static void Check(int ok, const char *what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    printf("host: FAILED: %s\n", what);
  }
  fflush(stdout);
}

/* ---- the host's callback object ---------------------------------------- */

#define kMaxReports 4096
typedef struct {
  int32_t kind, percent;
  char text[96];
} Report;

typedef struct Host Host;
typedef struct {
  void(__thiscall *slot0)(Host *self, unsigned flags);
  int32_t(__thiscall *on_progress)(Host *self, int32_t kind, int32_t percent, const char *text);
  int32_t(__thiscall *on_message)(Host *self, int32_t kind, int32_t value, const char *text);
} HostVtable;
struct Host {
  const HostVtable *vtbl;
  const char *name;
  int raise_on_progress; /* throw a C++ exception the way the host's compiler does */
  int slot0_calls, messages;
  int count;
  Report reports[kMaxReports];
};

/* A thrown object and its destructor, as the host's compiler describes them. */
static int g_thrown_destroyed;
static void __thiscall DestroyThrown(void *object) {
  (void)object;
  ++g_thrown_destroyed;
}
static const struct {
  DWORD attributes;
  void(__thiscall *destroy)(void *);
} kThrowInfo = {0, DestroyThrown};

static void __thiscall HostSlot0(Host *self, unsigned flags) {
  (void)flags;
  ++self->slot0_calls;
}
static int32_t __thiscall HostOnProgress(Host *self, int32_t kind, int32_t percent, const char *text) {
  printf("host[%s]: report kind=%ld percent=%ld text=\"%s\"\n", self->name, (long)kind,
         (long)percent, text ? text : "(null)");
  fflush(stdout);
  if (self->count < kMaxReports) {
    Report *r = &self->reports[self->count++];
    r->kind = kind;
    r->percent = percent;
    snprintf(r->text, sizeof r->text, "%s", text ? text : "");
  }
  if (self->raise_on_progress) {
    int object = 42;
    ULONG_PTR args[3] = {0x19930520, (ULONG_PTR)&object, (ULONG_PTR)&kThrowInfo};
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 3, args);
  }
  return 1;
}
static int32_t __thiscall HostOnMessage(Host *self, int32_t kind, int32_t value, const char *text) {
  (void)kind;
  (void)value;
  (void)text;
  ++self->messages;
  return 1;
}
static const HostVtable kHostVtable = {HostSlot0, HostOnProgress, HostOnMessage};

static Host *NewHost(const char *name) {
  Host *h = (Host *)calloc(1, sizeof(Host));
  h->vtbl = &kHostVtable;
  h->name = name;
  return h;
}

/* ---- scenarios ---------------------------------------------------------- */

static int LoadPlugin(void) {
  HMODULE dll = LoadLibraryA("Vantrel.dll");
  Check(dll != NULL, "LoadLibraryA(\"Vantrel.dll\")");
  if (!dll) return 0;
  NewDll = (NewDllFn)GetProcAddress(dll, "NewDll");
  DeleteDll = (DeleteDllFn)GetProcAddress(dll, "DeleteDll");
  GetDefinedData = (GetDefinedDataFn)GetProcAddress(dll, "GetDefinedData");
  GetParameter = (GetParameterFn)GetProcAddress(dll, "GetParameter");
  SetParameter = (SetParameterFn)GetProcAddress(dll, "SetParameter");
  PreviousLoad = (PreviousLoadFn)GetProcAddress(dll, "PreviousLoad");
  Check(NewDll && DeleteDll && GetDefinedData && GetParameter && SetParameter && PreviousLoad,
        "the six exports are found by name");
  Check(GetProcAddress(dll, "??0CInterfaceTemplate@@QAE@XZ") != NULL &&
            GetProcAddress(dll, "??_7CInterfaceTemplate@@6B@") != NULL,
        "the interface class is exported under the host compiler's names");
  return NewDll && DeleteDll && GetDefinedData && GetParameter && SetParameter && PreviousLoad;
}

static void ModelConstants(void) {
  char text[16];
  int32_t v = 99;
  memset(text, '#', sizeof text);
  Check(GetDefinedData(0, NULL, text) == 1 && strcmp(text, "QVR810") == 0, "GetDefinedData 0 gives \"QVR810\"");
  Check(GetDefinedData(1, NULL, text) == 1 && strcmp(text, "IM") == 0, "GetDefinedData 1 gives \"IM\"");
  Check(GetDefinedData(2, &v, NULL) == 1 && v == 0, "GetDefinedData 2 stores 0");
  v = 99;
  Check(GetDefinedData(4, &v, text) == 0 && v == 99, "GetDefinedData 4 fails and writes nothing");
  Check(GetDefinedData(0, &v, NULL) == 0, "GetDefinedData 0 without a buffer fails");
  Check(SetParameter(1, 5) == 1 && SetParameter(20, 6) == 1 && SetParameter(7, 8) == 1, "SetParameter");
  Check(GetParameter(123, 456) == 1, "GetParameter");
}

static void BadSessions(void) {
  void *session = (void *)0x1234;
  Check(NewDll(NULL, &session, 0) == 0 && session == (void *)0x1234,
        "NewDll with no callback fails and leaves the out-pointer");
  session = NULL;
  Check(DeleteDll(&session) == 0, "DeleteDll of a null session fails");

  /* A host whose OnProgress throws: the report fails, the session goes on. */
  Host *raiser = NewHost("raiser");
  raiser->raise_on_progress = 1;
  Check(NewDll(raiser, &session, 9) == 1 && session != NULL, "NewDll for the raising host");
  Check(Call0(session, kConnect) == 1, "Connect before Prepare returns 1 although the host raised");
  Check(raiser->count == 1 && raiser->reports[0].kind == 16, "the host saw kind 16");
  Check(g_thrown_destroyed == 1, "the host's thrown object was destroyed once");
  Check(Call0(session, kConnect) == 1 && raiser->count == 2, "the session goes on after the host raised");
  Check(Call1(session, kTiming, 2) == 0 && Call1(session, kTiming, 0) == 1, "Timing");
  Check(((int32_t(__thiscall *)(void *, int32_t, int32_t))SlotOf(session, kSetOption))(session, 2, 0) == 0 &&
            ((int32_t(__thiscall *)(void *, int32_t, int32_t))SlotOf(session, kSetOption))(session, 3, 0) == 1,
        "SetOption");
  Check(DeleteDll(&session) == 1 && session == NULL, "DeleteDll clears the variable");
  Check(raiser->slot0_calls == 0 && raiser->messages == 0, "the plug-in never calls the host's slot 0");
  free(raiser);
}

typedef struct {
  void *session;
  DWORD delay_ms;
} StopArgs;
static DWORD WINAPI StopLater(void *p) {
  StopArgs *a = (StopArgs *)p;
  Sleep(a->delay_ms);
  Call0(a->session, kStop);
  return 0;
}

/* A port that is missing (or that cannot be opened) is waited for until the
 * host stops the wait from another thread. */
static void WaitForAbsentPort(int32_t index, const char *name) {
  Host *host = NewHost(name);
  void *session = NULL;
  Check(NewDll(host, &session, index) == 1, "NewDll");
  /* Prepare clears the stop flag also when the package did not load. */
  Check(Call1(session, kPrepare, 0) == g_have_package, "Prepare (0 without a package)");
  StopArgs args = {session, 500};
  HANDLE t = CreateThread(NULL, 0, StopLater, &args, 0, NULL);
  Check(Call0(session, kConnect) == 1, "Connect returns 1 once stopped");
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
  Check(host->count == 1 && host->reports[0].kind == 16 && host->reports[0].percent == 0 &&
            host->reports[0].text[0] == 0,
        "a stopped wait reports kind 16 and nothing else");
  Check(DeleteDll(&session) == 1, "DeleteDll");
  free(host);
}

static void WholeDownload(void) {
  Host *host = NewHost("COM40");
  void *session = NULL;
  Check(NewDll(host, &session, 0) == 1, "NewDll on port index 0");
  Check(Call1(session, kPrepare, 0) == 1, "Prepare loads the package");
  Check(Call1(session, kTiming, 0) == 1, "Timing start");
  /* The phone is plugged in once the host waits for it (win/run.sh watches
   * for this line). */
  printf("host: waiting for the phone on COM40\n");
  fflush(stdout);
  Check(Call0(session, kConnect) == 1, "Connect");
  Check(host->count == 1 && host->reports[0].kind == 16, "Connect reports kind 16");
  int32_t ok = Call0(session, kDownload);
  Check(ok == 1, "Download returns 1");
  Check(Call1(session, kTiming, 1) == 1, "Timing stop");
  Check(DeleteDll(&session) == 1 && session == NULL, "DeleteDll");

  /* The reports: kinds 1 (transfer percent, no text) and 2 (messages) during
   * the agent stage, no error, then the reset countdown from 80 to 1. */
  int progress = 0, bad = 0, errors = 0;
  for (int i = 1; i < host->count; ++i) {
    const Report *r = &host->reports[i];
    if (r->kind == 1) {
      ++progress;
      if (r->text[0] || r->percent < 0 || r->percent > 100) ++bad;
    } else if (r->kind == 3) {
      ++errors;
    } else if (r->kind != 2 || r->percent < 0 || r->percent > 100) {
      ++bad;
    }
  }
  Check(bad == 0, "every report has a known kind and a percent from 0 to 100");
  Check(errors == 0, "no error report");
  Check(progress > 0, "transfer progress was reported");
  int countdown = host->count >= 81;
  for (int n = 80, i = host->count - 80; countdown && n >= 1; --n, ++i) {
    char want[64];
    snprintf(want, sizeof want, "Waiting for Reset %d sec..", n);
    const Report *r = &host->reports[i];
    countdown = r->kind == 2 && r->percent == 100 && strcmp(r->text, want) == 0;
  }
  Check(countdown, "the reports end with the countdown from 80 to 1");
  free(host);
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: host_standin PACKAGE [--no-phone]\n");
    return 2;
  }
  int phone = !(argc > 2 && strcmp(argv[2], "--no-phone") == 0);
  g_have_package = GetFileAttributesA(argv[1]) != INVALID_FILE_ATTRIBUTES;
  printf("host: package %s%s\n", argv[1], g_have_package ? "" : " (missing)");
  if (LoadPlugin()) {
    ModelConstants();
    Check(PreviousLoad(argv[1]) == 1, "PreviousLoad");
    BadSessions();
    WaitForAbsentPort(8, "COM48 (missing)");
    WaitForAbsentPort(7, "COM47 (cannot be opened)");
    if (phone) WholeDownload();
  }
  printf("host stand-in: %d checks passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 && g_passed > 0 ? 0 : 1;
}
