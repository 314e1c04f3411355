#include "bench/measure.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vantrel::bench {

double NowSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double ThreadCpuSeconds(std::thread& t) {
  clockid_t id;
  timespec ts{};
  if (pthread_getcpuclockid(t.native_handle(), &id) != 0 || clock_gettime(id, &ts) != 0) return -1;
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double ThisThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

uint64_t StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, 10);
  }
  return 0;
}

namespace {

std::vector<char*> Argv(std::vector<std::string>& args) {
  std::vector<char*> v;
  for (auto& a : args) v.push_back(a.data());
  v.push_back(nullptr);
  return v;
}

}  // namespace

bool RunSelf(const std::vector<std::string>& argsIn, std::string* out) {
  std::vector<std::string> args{"/proc/self/exe"};
  args.insert(args.end(), argsIn.begin(), argsIn.end());
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    auto argv = Argv(args);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(fds[1]);
  out->clear();
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out->append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int RunCommand(const std::vector<std::string>& argvIn) {
  std::vector<std::string> args = argvIn;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    auto argv = Argv(args);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long CountSyscalls(long tid, const std::function<void()>& during) {
  if (RunCommand({"strace", "-V"}) != 0) {
    std::fprintf(stderr, "    strace is not installed: system calls not counted\n");
    return -1;
  }
  char path[] = "/tmp/vantrel-bench-strace-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return -1;
  close(fd);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    std::string t = std::to_string(tid);
    execlp("strace", "strace", "-c", "-q", "-o", path, "-p", t.c_str(), (char*)nullptr);
    _exit(127);
  }
  // strace needs a moment to attach; what it misses is not counted either.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  during();
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  // The summary's last line: "100.00 secs usecs/call calls [errors] total".
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line))
    if (line.find("total") != std::string::npos) last = line;
  unlink(path);
  if (last.empty()) std::fprintf(stderr, "    strace counted nothing (exit status %d)\n", status);
  std::istringstream words(last);
  std::vector<std::string> w;
  for (std::string s; words >> s;) w.push_back(s);
  if (w.size() < 5 || w.back() != "total") {
    std::fprintf(stderr, "    strace summary not understood: %s\n", last.c_str());
    return -1;
  }
  return std::atol(w[3].c_str());
}

std::string Fmt(const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

Row AtMost(std::string figure, std::string measured, std::string against, double ratio, double limit) {
  return {std::move(figure), std::move(measured), std::move(against), ratio, Fmt("<= %.2f", limit),
          ratio <= limit, false};
}

Row AtLeast(std::string figure, std::string measured, std::string against, double ratio, double limit) {
  return {std::move(figure), std::move(measured), std::move(against), ratio, Fmt(">= %.2f", limit),
          ratio >= limit, false};
}

Row Failed(std::string figure, std::string why) {
  Row r;
  r.figure = std::move(figure);
  r.measured = "not measured: " + why;
  r.failed = true;
  return r;
}

}  // namespace vantrel::bench
