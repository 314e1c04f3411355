#pragma once
// A real pseudo-terminal pair for tests: the test plays the phone on the
// master end, the code under test opens the slave through a temporary port
// directory exactly as it would open a real phone's port.
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::testing {

class PtyPair {
 public:
  PtyPair();  // opens the pair, raw mode, keeps a slave descriptor open
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

  // Writes all bytes to the master (the phone talking).
  void Send(const std::vector<uint8_t>& bytes);
  // Reads exactly n bytes from the master within timeout_ms (real time; only
  // used to collect what the host sent, never to decide pass/fail by timing).
  std::vector<uint8_t> Receive(size_t n, int timeout_ms = 2000);
  // Reads whatever arrives until `quiet_ms` pass without a byte.
  std::vector<uint8_t> Drain(int quiet_ms = 50);
  // Closes the master: the host sees the port go away.
  void HangUp();

 private:
  int master_ = -1;
  int slave_keep_ = -1;
  std::string slave_path_;
};

// A temporary port directory installed as the process's default port
// directory for the lifetime of the object; Link(n, target) makes COM<n>
// point at target.
class PortDir {
 public:
  PortDir();
  ~PortDir();
  const std::string& path() const { return dir_; }
  void Link(unsigned com, const std::string& target);
  void Unlink(unsigned com);

 private:
  std::string dir_;
  std::string old_dir_;
};

}  // namespace vantrel::testing
