#pragma once
// A recording wrapper around a serial port: every byte that crosses it, in
// both directions, is written to a transcript. Field reports carry one
// (`vantrel flash --transcript FILE`); simulator runs kept as golden files
// pin the wire, and seed the protocol fuzzer.
//
// Transcript format, one chunk per line:
//   > a00a5005     bytes the plug-in wrote (one line per write call)
//   < 5ff5         bytes the plug-in read (one line per read call that got any)
//   ~              a read that timed out short of what it asked for
//   !              a read or write that failed (the port went away)
//   # text         a comment (ignored when read back)
// Hex digits are lower case, two per byte. A run of 32 or more equal bytes is
// written as one token "ff*4096" (the byte, then the count in decimal),
// separated from its neighbours by spaces, so erased flash stays short.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace vantrel::platform {

class RecordingPort final : public SerialPort {
 public:
  // Takes the port; `out` is an open file the transcript is appended to,
  // closed when the wrapper goes.
  RecordingPort(std::unique_ptr<SerialPort> inner, std::FILE* out);
  ~RecordingPort() override;

  bool Read(uint8_t* buf, uint32_t n, uint32_t* got) override;
  bool Write(const uint8_t* buf, uint32_t n, uint32_t* put) override;
  bool Flush() override { return inner_->Flush(); }
  bool SetTimeouts(const Timeouts& t) override { return inner_->SetTimeouts(t); }
  Timeouts GetTimeouts() const override { return inner_->GetTimeouts(); }
  bool Gone() const override { return inner_->Gone(); }
  std::string Name() const override { return inner_->Name(); }
  bool IsPseudoTerminal() override { return inner_->IsPseudoTerminal(); }

  bool ClearError() override { return inner_->ClearError(); }
  bool SetQueueSizes(uint32_t in, uint32_t out) override { return inner_->SetQueueSizes(in, out); }
  bool GetLine(LineSettings* out) override { return inner_->GetLine(out); }
  bool SetLine(const LineSettings& s) override { return inner_->SetLine(s); }
  bool ClearBreak() override { return inner_->ClearBreak(); }
  bool Purge(uint32_t actions) override { return inner_->Purge(actions); }
  bool SetDtr(bool on) override { return inner_->SetDtr(on); }
  bool SetRts(bool on) override { return inner_->SetRts(on); }
  uint32_t InputQueued() override { return inner_->InputQueued(); }

 private:
  void Line(char direction, const uint8_t* p, uint32_t n);

  std::unique_ptr<SerialPort> inner_;
  std::FILE* out_;
};

// Wraps `port` in a recorder when `path` is not empty. "%u" in the path, if
// present, is replaced by `com_port`, so several sessions keep apart files.
// A path that cannot be opened leaves the port unwrapped.
std::unique_ptr<SerialPort> MaybeRecord(std::unique_ptr<SerialPort> port, const std::string& path,
                                        unsigned com_port);

// One chunk of a transcript read back.
struct TranscriptChunk {
  enum Kind : char { kWrite = '>', kRead = '<', kTimeout = '~', kFailure = '!' };
  Kind kind;
  std::vector<uint8_t> bytes;
};

// Parses a transcript. false (with the line number in *error) on a line of
// unknown kind or bad hex.
bool ParseTranscript(const std::string& text, std::vector<TranscriptChunk>* out, std::string* error);

}  // namespace vantrel::platform
