#pragma once
// The benchmark run's parts. Each part measures its figures and their limits
// side by side in this process (interleaved, repeated, medians) and returns
// table rows; main.cpp prints them.
#include <cstdint>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "sim/check/flash_check.h"
#include "sim/phone.h"
#include "tests/support/recording_host.h"

namespace vantrel::bench {

struct Options {
  bool quick = false;     // small sizes, one repetition: proves it builds and runs
  int repeats = 3;        // interleaved pairs per ratio
  std::string workDir;    // packages and port directory live here
  std::string portDir;
  std::string only;       // run just this part (empty: all)
};

// Builds a package with four FS images cut from one multi-region section,
// 2048-byte pages, `dataBlocks` blocks per image and a reserved pool of
// `reservedCount` blocks (the info area the download scans); writes it to `path`.
// Returns the bytes of image data the package carries (0 on failure); the
// images themselves go to `expected` when given, for the flash check.
uint64_t MakePackage(const std::string& path, uint32_t dataBlocks, uint32_t reservedCount = 16,
                     flashcheck::ExpectedFirmware* expected = nullptr);

// Makes `path` the package that sessions load from now on.
void UsePackage(const std::string& path);

// One whole download (open, boot ROM stage, agent stage, countdown on the
// manual clock) of the current package to a fresh simulated phone on COM
// `com`, through the session and engine. The fixed pauses take no time.
// With `expected`, the flash is checked afterwards: a download that left the
// wrong bytes does not count, so its wire bytes are the ones it had to send.
struct DownloadRun {
  bool ok = false;
  double seconds = 0;  // from opening the port to the end of the download
  double cpuSeconds = 0;  // the host thread's processor time in that span
  sim::PhoneRecord record;
  std::string error;
};
// `transcript`, when given, records the session's wire there.
DownloadRun RunDownload(const Options& o, unsigned com, const sim::PhoneConfig& cfg,
                        testing::RecordingHost* host,
                        const flashcheck::ExpectedFirmware* expected = nullptr,
                        const std::string& transcript = {});

// Repeats a phone's wire script with the least work a sender can do: one
// write and one drain per field or packet, blocking reads of the answers,
// against a peer that only reads and answers. Seconds, or -1 on failure.
// The processor time of the sender and of the peer go to `cpu` when given.
struct SenderCpu { double sender = 0, peer = 0; };
double RunMinimalSender(const std::vector<int32_t>& script, SenderCpu* cpu = nullptr);

// Plays the host's side of a recorded download (its transcript) against a
// fresh simulated phone on the same kind of pty, with the least work a host
// can do: each recorded write as one write and one drain, then a blocking
// read of as many bytes as the phone answered. Both sides pay the phone's
// own work, as the download does; the flash is checked afterwards. Seconds
// from opening the port to the last answer, or -1 with *error set.
double RunReplaySender(const Options& o, const std::string& transcript,
                       const flashcheck::ExpectedFirmware& expected, std::string* error);

// Child-process entry points (main dispatches "--child NAME ...").
int ChildLoad(const std::string& path);
int ChildRead(const std::string& path);

std::vector<Row> BenchPackageLoad(const Options& o);
std::vector<Row> BenchTransfer(const Options& o);  // full speed, growth, emulated USB
std::vector<Row> BenchWaiting(const Options& o);
std::vector<Row> BenchParallel(const Options& o);
std::vector<Row> BenchSoak(const Options& o);  // a `vantrel station` process, phone after phone
std::vector<Row> BenchPlans(const Options& o);  // read-back and verify on the emulated USB link

}  // namespace vantrel::bench
