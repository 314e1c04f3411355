#include "tools/cli/interrupt.h"

#include <fcntl.h>
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
std::atomic<int> gSignals{0};
int gPipe[2] = {-1, -1};

void OnSignal(int) {
  if (gSignals.fetch_add(1) == 0) {
    const char c = 1;
    (void)!::write(gPipe[1], &c, 1);
    return;
  }
  static const char kMsg[] = "\nvantrel: interrupted again: exiting now\n";
  (void)!::write(2, kMsg, sizeof kMsg - 1);
  const int n = gPathCount.load();
  for (int i = 0; i < n; ++i) {
    if (gPaths[i].directory) ::rmdir(gPaths[i].path);
    else ::unlink(gPaths[i].path);
  }
  ::_exit(kExitInterrupted);
}

}  // namespace

void Install() {
  if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

void Uninstall() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

int Fd() { return gPipe[0]; }
bool Requested() { return gSignals.load() > 0; }

void AddCleanupPath(const std::string& path, bool directory) {
  const int i = gPathCount.load();
  if (i >= kMaxPaths || path.size() >= sizeof gPaths[0].path) return;
  std::memcpy(gPaths[i].path, path.c_str(), path.size() + 1);
  gPaths[i].directory = directory;
  gPathCount.store(i + 1);
}

void ClearCleanupPaths() { gPathCount.store(0); }

}  // namespace vantrel::cli::interrupt
