#include "tests/cli/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace vantrel::testing {

std::string BinDir() {
  const char* d = std::getenv("VANTREL_TEST_BIN");
  return d ? d : ".";
}

Process::Process(const std::vector<std::string>& argv, const Options& options) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::setpgid(0, 0);  // a signal to the test's group does not reach it
    for (const auto& e : options.env) ::putenv(::strdup(e.c_str()));
    if (options.uid != 0 && (::setgid(options.uid) != 0 || ::setuid(options.uid) != 0)) ::_exit(99);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(98);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
}

Process::~Process() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
}

bool Process::Pump(int timeout_ms) {
  pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  if (::poll(p, 2, timeout_ms) <= 0) return true;
  int* fds[2] = {&out_fd_, &err_fd_};
  std::string* bufs[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (*fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
    char buf[4096];
    ssize_t n = ::read(*fds[i], buf, sizeof buf);
    if (n > 0) {
      bufs[i]->append(buf, static_cast<size_t>(n));
    } else {
      ::close(*fds[i]);
      *fds[i] = -1;
    }
  }
  return true;
}

bool Process::WaitFor(const std::string& text, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (out_.find(text) == std::string::npos && err_.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) break;
  }
  return out_.find(text) != std::string::npos || err_.find(text) != std::string::npos;
}

int Process::Wait(std::chrono::milliseconds limit) {
  if (status_ >= 0) return status_;
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (!Pump(static_cast<int>(std::min<long>(left.count(), 20)))) {
      // Both pipes closed: the child is ending; its status follows.
    }
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      for (int i = 0; i < 100 && (out_fd_ >= 0 || err_fd_ >= 0); ++i) Pump(10);
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  status_ = 1000;
  return -1;
}

void Process::CloseOut() {
  if (out_fd_ >= 0) ::close(out_fd_);
  out_fd_ = -1;
}

void Process::Signal(int sig) {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, sig);
}

}  // namespace vantrel::testing
