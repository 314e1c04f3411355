// A stand-in for the closed host download tool, written the way the host is:
// C++ built by the host's compiler ABI (clang-cl for i686-pc-windows-msvc).
// It declares CInterfaceTemplate as a class imported from Vantrel.dll and
// derives from it, so the class's constructors, destructor, assignment and
// virtual table are linked by the names that compiler gives them; its
// callback object is an ordinary polymorphic class; it reaches a session
// only through virtual calls.
//
//   host_standin_msvc PACKAGE [--no-phone]
//
// Checks the imported class, a wait stopped before it began, then (unless
// --no-phone) a whole download on port index 0, that is COM40. Every report
// is logged. Exits 0 when every check passed.
#include <stdint.h>

#include "runtime.h"

// ---- the plug-in as the host's header declares it --------------------------

class __declspec(dllimport) CInterfaceTemplate {
 public:
  CInterfaceTemplate();
  CInterfaceTemplate(const CInterfaceTemplate& other);
  virtual ~CInterfaceTemplate();
  CInterfaceTemplate& operator=(const CInterfaceTemplate& other);

  virtual int32_t Prepare(int32_t unused) = 0;
  virtual int32_t Connect() = 0;
  virtual int32_t SetOption(int32_t kind, int32_t value) = 0;
  virtual int32_t Download() = 0;
  virtual int32_t Stop() = 0;
  virtual int32_t Timing(int32_t kind) = 0;
};

// C++ has no name for a class's virtual table; the DLL exports it under the
// compiler's decorated name, so it is declared under that name.
extern "C" __declspec(dllimport) const void* const kInterfaceTable[7] __asm__(
    "??_7CInterfaceTemplate@@6B@");

class HostCallback {
 public:
  virtual ~HostCallback() = default;
  virtual int32_t OnProgress(int32_t kind, int32_t percent, const char* text) = 0;
  virtual int32_t OnMessage(int32_t kind, int32_t value, const char* text) = 0;
};

extern "C" {
__declspec(dllimport) int32_t NewDll(HostCallback* callback, CInterfaceTemplate** out, int32_t index);
__declspec(dllimport) int32_t DeleteDll(CInterfaceTemplate** session);
__declspec(dllimport) int32_t GetDefinedData(int32_t type, int32_t* value, char* text);
__declspec(dllimport) int32_t PreviousLoad(const char* path);
}

namespace {

using host::Line;

int g_passed, g_failed;
int g_callbacks_destroyed;  // the plug-in must never destroy the host's object

void Check(bool ok, const char* what) {
  if (ok) {
    ++g_passed;
    return;
  }
  ++g_failed;
  Line line;
  host::Print(line.Add("host: FAILED: ").Add(what));
}

// ---- the host's callback object ----------------------------------------------

// Logs every report and checks its kind as it comes: 16 once when Connect
// ends; during Download, 1 (transfer percent, no text) and 2 (messages) and
// no 3 (error); after the transfer only the reset countdown "Waiting for
// Reset N sec.." from 80 down to 1, at 100.
class Recorder : public HostCallback {
 public:
  explicit Recorder(const char* name) : name_(name) {}
  ~Recorder() override { ++g_callbacks_destroyed; }

  int32_t OnProgress(int32_t kind, int32_t percent, const char* text) override {
    Line line;
    host::Print(line.Add("host[").Add(name_).Add("]: report kind=").Add(kind).Add(" percent=")
                    .Add(percent).Add(" text=\"").Add(text ? text : "(null)").Add("\""));
    ++reports;
    if (!text) {
      ++odd;
      return 1;
    }
    const bool countdown_line = kind == 2 && host::StartsWith(text, "Waiting for Reset ");
    if (countdown_next < 80 && !countdown_line) countdown_broken = true;
    bool in_range = percent >= 0 && percent <= 100;
    switch (kind) {
      case 16:
        ++connect_finished;
        in_range = percent == 0 && !*text;
        break;
      case 1:
        ++progress;
        in_range = in_range && !*text;
        break;
      case 2:
        if (countdown_line) {
          Line want;
          want.Add("Waiting for Reset ").Add(countdown_next).Add(" sec..");
          if (progress == 0 || percent != 100 || !host::Equal(text, want.Text())) countdown_broken = true;
          --countdown_next;
        }
        break;
      case 3: ++errors; break;
      default: in_range = false;
    }
    if (!in_range) ++odd;
    return 1;
  }
  int32_t OnMessage(int32_t, int32_t, const char*) override {
    ++messages;  // no step of a download raises it
    return 1;
  }

  int reports = 0, connect_finished = 0, progress = 0, errors = 0, odd = 0, messages = 0;
  bool countdown_broken = false;
  int32_t countdown_next = 80;  // the next countdown number expected; 0 when all came

 private:
  const char* name_;
};

// ---- a class derived from the imported one ------------------------------------

// The host's own wrapper of a session: counts its calls and passes each on to
// the plug-in's session through that session's virtual table. Its implicit
// copy constructor and assignment call the imported ones.
class Forwarder : public CInterfaceTemplate {
 public:
  explicit Forwarder(CInterfaceTemplate* to) : to_(to) {}

  int32_t Prepare(int32_t unused) override { return ++calls, to_->Prepare(unused); }
  int32_t Connect() override { return ++calls, to_->Connect(); }
  int32_t SetOption(int32_t kind, int32_t value) override { return ++calls, to_->SetOption(kind, value); }
  int32_t Download() override { return ++calls, to_->Download(); }
  int32_t Stop() override { return ++calls, to_->Stop(); }
  int32_t Timing(int32_t kind) override { return ++calls, to_->Timing(kind); }

  int calls = 0;

 private:
  CInterfaceTemplate* to_;
};

// Called through the base class, out of line, so the compiler cannot know
// the object's type and must use its virtual table.
__declspec(noinline) int32_t TimingVia(CInterfaceTemplate& s, int32_t kind) { return s.Timing(kind); }
__declspec(noinline) int32_t OptionVia(CInterfaceTemplate& s, int32_t kind, int32_t value) {
  return s.SetOption(kind, value);
}

// The imported members, each used at least once; `session` is a live session.
void ImportedClass(CInterfaceTemplate* session) {
  Forwarder first(session);
  Forwarder copy(first);  // the imported copy constructor
  Check(TimingVia(copy, 2) == 0 && TimingVia(copy, 0) == 1 && copy.calls == 2 && first.calls == 0,
        "a copy keeps its own virtual table and the session it forwards to");

  Forwarder assigned(nullptr);
  Check(&assigned.CInterfaceTemplate::operator=(first) == &assigned,
        "the imported assignment returns the object itself");
  assigned = first;  // the implicit assignment, which calls the imported one
  // Kind and value in the host's order: kind 2 fails, kind 3 succeeds.
  Check(OptionVia(assigned, 2, 3) == 0 && OptionVia(assigned, 3, 2) == 1 && assigned.calls == 2,
        "an assigned object forwards to the session it was given, arguments in order");

  // The imported destructor puts back the class's own table, the one
  // exported under its decorated name.
  Forwarder* gone = new Forwarder(session);
  gone->~Forwarder();
  const void* table = *static_cast<const void* const volatile*>(static_cast<void*>(gone));
  ::operator delete(gone);
  Check(table == kInterfaceTable && kInterfaceTable[0] != nullptr,
        "the imported destructor leaves the exported virtual table in the object");
}

// ---- scenarios ----------------------------------------------------------------

void ModelConstants() {
  char text[16] = {};
  int32_t value = 99;
  Check(GetDefinedData(0, nullptr, text) == 1 && host::Equal(text, "QVR810"), "GetDefinedData 0");
  Check(GetDefinedData(3, &value, nullptr) == 1 && value == 0, "GetDefinedData 3");
}

// Stop between Prepare and Connect: Connect ends at once with kind 16.
void StoppedWait(bool have_package) {
  const int destroyed = g_callbacks_destroyed;
  Recorder host("COM48");
  CInterfaceTemplate* session = nullptr;
  Check(NewDll(&host, &session, 8) == 1 && session, "NewDll on port index 8");
  if (!session) return;
  Check(session->Prepare(0) == (have_package ? 1 : 0), "Prepare (0 without a package)");
  ImportedClass(session);
  Check(session->Stop() == 1 && session->Connect() == 1, "Stop, then Connect returns 1");
  Check(host.reports == 1 && host.connect_finished == 1 && host.odd == 0,
        "a stopped wait reports kind 16 with 0 and no text, and nothing else");
  Check(DeleteDll(&session) == 1 && !session, "DeleteDll clears the variable");
  Check(g_callbacks_destroyed == destroyed && host.messages == 0,
        "the plug-in neither destroys the host's object nor calls OnMessage");
}

void WholeDownload() {
  const int destroyed = g_callbacks_destroyed;
  Recorder host("COM40");
  CInterfaceTemplate* session = nullptr;
  Check(NewDll(&host, &session, 0) == 1 && session, "NewDll on port index 0");
  if (!session) return;
  Forwarder wrapper(session);
  Forwarder driver(wrapper);  // the download runs through a copy
  CInterfaceTemplate& s = driver;
  Check(s.Prepare(0) == 1, "Prepare loads the package");
  Check(s.Timing(0) == 1, "Timing start");
  // The phone is plugged in once the host waits for it (win/run.sh watches
  // for this line).
  Line line;
  host::Print(line.Add("host: waiting for the phone on COM40"));
  Check(s.Connect() == 1, "Connect");
  Check(host.reports == 1 && host.connect_finished == 1, "Connect reports kind 16 first and once");
  Check(s.Download() == 1, "Download returns 1");
  Check(s.Timing(1) == 1, "Timing stop");
  Check(driver.calls == 5 && wrapper.calls == 0, "the copy carried every call");
  Check(DeleteDll(&session) == 1 && !session, "DeleteDll");

  Check(host.connect_finished == 1, "kind 16 came once");
  Check(host.errors == 0, "no error report");
  Check(host.odd == 0, "every report has a known kind, a percent from 0 to 100 and its text");
  Check(host.progress > 0, "transfer progress was reported");
  Check(!host.countdown_broken && host.countdown_next == 0,
        "the reports end with the countdown from 80 to 1");
  Check(g_callbacks_destroyed == destroyed && host.messages == 0,
        "the plug-in neither destroys the host's object nor calls OnMessage");
}

}  // namespace

extern "C" void HostEntry() {
  const char* package = host::Argument(0);
  if (!package) {
    Line line;
    host::Print(line.Add("usage: host_standin_msvc PACKAGE [--no-phone]"));
    host::Exit(2);
  }
  const char* option = host::Argument(1);
  const bool phone = !(option && host::Equal(option, "--no-phone"));
  const bool have_package = host::FileExists(package);
  Line line;
  host::Print(line.Add("host: package ").Add(package).Add(have_package ? "" : " (missing)"));

  ModelConstants();
  Check(PreviousLoad(package) == 1, "PreviousLoad");
  StoppedWait(have_package);
  if (phone) WholeDownload();

  Line result;
  host::Print(result.Add("host stand-in (C++): ").Add(g_passed).Add(" checks passed, ")
                  .Add(g_failed).Add(" failed"));
  host::Exit(g_failed == 0 && g_passed > 0 ? 0 : 1);
}
