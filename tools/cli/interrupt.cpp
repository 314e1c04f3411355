#include "tools/cli/interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "tools/cli/exit_codes.h"

namespace vantrel::cli::interrupt {

namespace {

constexpr int kMaxPaths = 64;
struct CleanupPath {
  char path[256];
  bool directory;
};
CleanupPath gPaths[kMaxPaths];
std::atomic<int> gPathCount{0};
std::atomic<int> gRequests{0};
std::atomic<int> gSignal{0};                // the first request's signal, 0 for Request
std::atomic<const char*> gWhy{nullptr};     // the first request's reason when no signal
int gPipe[2] = {-1, -1};
char gExitLine[512];
std::atomic<int> gExitLineLength{0};
int gNull = -1;  // where other threads' output goes once the exit line is out

// True for the first request of the run.
bool First() {
  if (gRequests.fetch_add(1) != 0) return false;
  const char c = 1;
  (void)!::write(gPipe[1], &c, 1);
  return true;
}

void OnSignal(int sig) {
  if (gSignal.load() == 0 && gWhy.load() == nullptr) gSignal.store(sig);
  if (First()) return;
  static const char kMsg[] = "\nvantrel: interrupted again: exiting now\n";
  (void)!::write(2, kMsg, sizeof kMsg - 1);
  if (const int n = gExitLineLength.load()) {
    // The line must be the last: another thread may still print a report
    // before the exit, so standard output goes to /dev/null first.
    const int out = ::dup(1);
    if (gNull >= 0) ::dup2(gNull, 1);
    (void)!::write(out >= 0 ? out : 1, gExitLine, static_cast<size_t>(n));
  }
  RemoveCleanupPaths();
  ::_exit(kExitInterrupted);
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

void Install() {
  if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  if (gNull < 0) gNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void Uninstall() {
  for (int sig : kSignals) std::signal(sig, SIG_DFL);
}

void CheckOutputs() {
  for (int fd : {1, 2}) {
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) continue;
    pollfd p{fd, 0, 0};  // no events asked: a writer's end reports only errors and hang-ups
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)) && !Requested())
      Request(fd == 1 ? "standard output was closed" : "standard error was closed");
  }
}

int Fd() { return gPipe[0]; }
bool Requested() { return gRequests.load() > 0; }

void Request(const char* why) {
  if (gPipe[0] < 0) Install();
  const char* none = nullptr;
  if (gSignal.load() == 0) gWhy.compare_exchange_strong(none, why);
  First();
}

std::string Reason() {
  switch (gSignal.load()) {
    case SIGINT: return "Ctrl-C";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP: the terminal was closed";
    default: break;
  }
  const char* why = gWhy.load();
  return why ? why : "";
}

void AddCleanupPath(const std::string& path, bool directory) {
  const int i = gPathCount.load();
  if (i >= kMaxPaths || path.size() >= sizeof gPaths[0].path) return;
  std::memcpy(gPaths[i].path, path.c_str(), path.size() + 1);
  gPaths[i].directory = directory;
  gPathCount.store(i + 1);
}

void ClearCleanupPaths() { gPathCount.store(0); }

void RemoveCleanupPaths() {
  const int n = gPathCount.load();
  for (int i = 0; i < n; ++i) {
    if (gPaths[i].directory) ::rmdir(gPaths[i].path);
    else ::unlink(gPaths[i].path);
  }
}

void SetExitLine(const std::string& line) {
  gExitLineLength.store(0);
  if (line.empty() || line.size() > sizeof gExitLine) return;
  std::memcpy(gExitLine, line.data(), line.size());
  gExitLineLength.store(static_cast<int>(line.size()));
}

}  // namespace vantrel::cli::interrupt
