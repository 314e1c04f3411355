#pragma once
// The phone's end of the cable: the master side of a pseudo-terminal. The
// host opens the slave, directly or through a port-directory link
// ($VANTREL_PORT_DIR/COM<n>, default /dev/vantrel). One slave descriptor stays
// open in here, so the host may close and reopen the slave without the master
// seeing a hang-up; closing the master is the hang-up (the phone unplugged).
#include <string>

namespace vantrel::sim {

class PtyPort {
 public:
  PtyPort() = default;
  ~PtyPort() { Close(); }
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  // Creates the pair, raw mode without echo, master non-blocking.
  bool Open(std::string* error);
  // Closes master and kept slave, and removes the link if it still points at
  // this slave. Safe to call twice.
  void Close();
  bool IsOpen() const { return master_ >= 0; }

  int master() const { return master_; }
  int keptSlave() const { return slave_; }
  const std::string& slavePath() const { return slavePath_; }

  // Makes `dir`/COM<com> a symlink to the slave (creating dir if needed and
  // replacing an older link). An empty dir means $VANTREL_PORT_DIR or
  // /dev/vantrel.
  bool Link(const std::string& dir, unsigned com, std::string* error);
  void Unlink();
  const std::string& linkPath() const { return linkPath_; }

  static std::string DefaultPortDir();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string linkPath_;
};

}  // namespace vantrel::sim
