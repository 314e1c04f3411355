#pragma once
// Measuring helpers of the benchmark run: wall and thread CPU time, medians,
// resident memory, child processes, and the one table the run prints.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vantrel::bench {

double NowSeconds();  // monotonic
double Median(std::vector<double> v);
// CPU seconds a running std::thread has used so far (read from another thread).
double ThreadCpuSeconds(std::thread& t);
double ThisThreadCpuSeconds();

// Fields of /proc/self/status in KiB ("VmRSS", "VmHWM"); 0 when absent.
uint64_t StatusKiB(const char* field);

// Runs this program again with `args` and returns its standard output;
// false when it could not start or did not exit with 0.
bool RunSelf(const std::vector<std::string>& args, std::string* out);
// Runs a command line and returns its exit status (-1 when it could not start).
int RunCommand(const std::vector<std::string>& argv);

// Number of system calls a thread makes while `during` runs, counted by
// attaching strace to that thread alone; -1 when strace is not available.
long CountSyscalls(long tid, const std::function<void()>& during);

// One line of the table: what was measured, against what, and the target.
struct Row {
  std::string figure;    // what
  std::string measured;  // the numerator, in its unit
  std::string against;   // the denominator, in its unit
  double ratio = 0;
  std::string target;    // e.g. "<= 1.5"
  bool met = false;
  bool failed = false;   // the measurement itself did not work
};

// "<= 1.5" style targets.
Row AtMost(std::string figure, std::string measured, std::string against, double ratio, double limit);
Row AtLeast(std::string figure, std::string measured, std::string against, double ratio, double limit);
Row Failed(std::string figure, std::string why);

std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vantrel::bench
