#pragma once
// A child process with its standard output and error on pipes, for the
// tests that run the real `vantrel` binary.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace vantrel::testing {

class Process {
 public:
  struct Options {
    std::vector<std::string> env;  // "NAME=value" added to the environment
    uid_t uid = 0;                 // nonzero: run as this user (the test is root)
  };
  Process(const std::vector<std::string>& argv, const Options& options);
  explicit Process(const std::vector<std::string>& argv) : Process(argv, Options{}) {}
  ~Process();  // kills the child if it still runs

  // Reads what arrived until `text` shows on stdout or stderr, the child
  // ends, or the time runs out. True when the text arrived.
  bool WaitFor(const std::string& text, std::chrono::milliseconds limit);
  // Waits for the exit; -1 on time-out (the child is then killed), else the
  // exit status (128 + n for signal n).
  int Wait(std::chrono::milliseconds limit);
  void Signal(int sig);
  // Closes the reading end of the child's standard output, as a reader
  // that went away (`| head`) does.
  void CloseOut();
  pid_t pid() const { return pid_; }

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  bool Pump(int timeout_ms);  // false once both pipes are closed
  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  int status_ = -1;
  std::string out_, err_;
};

// The built binaries' folder ($VANTREL_TEST_BIN).
std::string BinDir();

}  // namespace vantrel::testing
